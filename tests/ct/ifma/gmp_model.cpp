// GMP as ct_ifma sees it. GMP is not instrumented, so MemorySanitizer would
// take everything it writes for public, and a secret passed through it would
// come out clean: a branch on a remainder or on a power made by GMP would go
// unreported. The build links every call to the functions below through
// these wrappers (-Wl,--wrap, CMakeLists.txt), which model GMP for the check:
//
// - the side-channel-silent mpn functions (mpn_sec_*, mpn_cnd_*, and
//   mpn_add_n, mpn_sub_n and mpn_addmul_1, whose loops run on the length
//   alone) are trusted with secrets; every limb they write, and the limb they
//   return, is tainted when any limb or condition they read is;
// - a copy (mpz_set, mpz_init_set, and from a machine word mpz_set_si and
//   the like) carries the taint of the value it copies;
// - GMP's variable-time mpz functions must never see a secret: a tainted
//   operand is reported as if it were branched on.
#include <gmp.h>
#include <sanitizer/msan_interface.h>

#include <cstddef>
#include <cstdlib>
#include <initializer_list>

namespace {

std::size_t bytes(mp_size_t limbs) { return static_cast<std::size_t>(limbs) * sizeof(mp_limb_t); }

bool secret(const volatile mp_limb_t* limbs, mp_size_t n) {
    return n > 0 && __msan_test_shadow(const_cast<const mp_limb_t*>(limbs), bytes(n)) != -1;
}

bool secret(mp_limb_t value) { return __msan_test_shadow(&value, sizeof value) != -1; }

// The taint of the outputs of a call that read a secret, or none.
void mark(bool taint, volatile mp_limb_t* limbs, mp_size_t n) {
    auto* out = const_cast<mp_limb_t*>(limbs);
    if (taint)
        __msan_poison(out, bytes(n));
    else
        __msan_unpoison(out, bytes(n));
}

mp_limb_t marked(bool taint, mp_limb_t value) {
    mark(taint, &value, 1);
    return value;
}

// `returned`, once the n limbs at r are marked.
mp_limb_t mark_after(bool taint, volatile mp_limb_t* r, mp_size_t n, mp_limb_t returned) {
    mark(taint, r, n);
    return returned;
}

void require_public(mpz_srcptr x) {
    __msan_check_mem_is_initialized(x, sizeof *x);
    __msan_check_mem_is_initialized(x->_mp_d, bytes(std::abs(x->_mp_size)));
}

}  // namespace

// Visible: libgmpxx's calls are wrapped too.
#pragma GCC visibility push(default)
extern "C" {

// ---- Trusted with secrets

mp_limb_t __real___gmpn_add_n(mp_ptr, mp_srcptr, mp_srcptr, mp_size_t);
mp_limb_t __real___gmpn_sub_n(mp_ptr, mp_srcptr, mp_srcptr, mp_size_t);
mp_limb_t __real___gmpn_cnd_add_n(mp_limb_t, mp_ptr, mp_srcptr, mp_srcptr, mp_size_t);
mp_limb_t __real___gmpn_cnd_sub_n(mp_limb_t, mp_ptr, mp_srcptr, mp_srcptr, mp_size_t);
mp_limb_t __real___gmpn_sec_add_1(mp_ptr, mp_srcptr, mp_size_t, mp_limb_t, mp_ptr);
mp_limb_t __real___gmpn_sec_sub_1(mp_ptr, mp_srcptr, mp_size_t, mp_limb_t, mp_ptr);

}  // extern "C"

namespace {

// r = a +- b, the carry or borrow returned, on a condition when there is one.
template <auto Real>
mp_limb_t with_carry(mp_ptr r, mp_srcptr a, mp_srcptr b, mp_size_t n) {
    const bool taint = secret(a, n) || secret(b, n);
    return marked(taint, mark_after(taint, r, n, Real(r, a, b, n)));
}

template <auto Real>
mp_limb_t on_condition(mp_limb_t cnd, mp_ptr r, mp_srcptr a, mp_srcptr b, mp_size_t n) {
    const bool taint = secret(cnd) || secret(a, n) || secret(b, n);
    return marked(taint, mark_after(taint, r, n, Real(cnd, r, a, b, n)));
}

// r = a +- one limb b, in time that does not depend on b.
template <auto Real>
mp_limb_t one_limb(mp_ptr r, mp_srcptr a, mp_size_t n, mp_limb_t b, mp_ptr tp) {
    const bool taint = secret(a, n) || secret(b);
    return marked(taint, mark_after(taint, r, n, Real(r, a, n, b, tp)));
}

}  // namespace

extern "C" {

mp_limb_t __wrap___gmpn_add_n(mp_ptr r, mp_srcptr a, mp_srcptr b, mp_size_t n) {
    return with_carry<__real___gmpn_add_n>(r, a, b, n);
}

mp_limb_t __wrap___gmpn_sub_n(mp_ptr r, mp_srcptr a, mp_srcptr b, mp_size_t n) {
    return with_carry<__real___gmpn_sub_n>(r, a, b, n);
}

mp_limb_t __wrap___gmpn_cnd_add_n(mp_limb_t cnd, mp_ptr r, mp_srcptr a, mp_srcptr b, mp_size_t n) {
    return on_condition<__real___gmpn_cnd_add_n>(cnd, r, a, b, n);
}

mp_limb_t __wrap___gmpn_cnd_sub_n(mp_limb_t cnd, mp_ptr r, mp_srcptr a, mp_srcptr b, mp_size_t n) {
    return on_condition<__real___gmpn_cnd_sub_n>(cnd, r, a, b, n);
}

mp_limb_t __wrap___gmpn_sec_add_1(mp_ptr r, mp_srcptr a, mp_size_t n, mp_limb_t b, mp_ptr tp) {
    return one_limb<__real___gmpn_sec_add_1>(r, a, n, b, tp);
}

mp_limb_t __wrap___gmpn_sec_sub_1(mp_ptr r, mp_srcptr a, mp_size_t n, mp_limb_t b, mp_ptr tp) {
    return one_limb<__real___gmpn_sec_sub_1>(r, a, n, b, tp);
}

mp_limb_t __real___gmpn_addmul_1(mp_ptr, mp_srcptr, mp_size_t, mp_limb_t);
mp_limb_t __wrap___gmpn_addmul_1(mp_ptr r, mp_srcptr a, mp_size_t n, mp_limb_t v) {
    const bool taint = secret(r, n) || secret(a, n) || secret(v);
    const mp_limb_t carry = __real___gmpn_addmul_1(r, a, n, v);
    mark(taint, r, n);
    return marked(taint, carry);
}

void __real___gmpn_cnd_swap(mp_limb_t, volatile mp_limb_t*, volatile mp_limb_t*, mp_size_t);
void __wrap___gmpn_cnd_swap(mp_limb_t cnd, volatile mp_limb_t* a, volatile mp_limb_t* b,
                            mp_size_t n) {
    const bool taint = secret(cnd) || secret(a, n) || secret(b, n);
    __real___gmpn_cnd_swap(cnd, a, b, n);
    mark(taint, a, n);
    mark(taint, b, n);
}

void __real___gmpn_sec_mul(mp_ptr, mp_srcptr, mp_size_t, mp_srcptr, mp_size_t, mp_ptr);
void __wrap___gmpn_sec_mul(mp_ptr r, mp_srcptr a, mp_size_t an, mp_srcptr b, mp_size_t bn,
                           mp_ptr tp) {
    const bool taint = secret(a, an) || secret(b, bn);
    __real___gmpn_sec_mul(r, a, an, b, bn, tp);
    mark(taint, r, an + bn);
}

void __real___gmpn_sec_div_r(mp_ptr, mp_size_t, mp_srcptr, mp_size_t, mp_ptr);
void __wrap___gmpn_sec_div_r(mp_ptr np, mp_size_t nn, mp_srcptr dp, mp_size_t dn, mp_ptr tp) {
    const bool taint = secret(np, nn) || secret(dp, dn);
    __real___gmpn_sec_div_r(np, nn, dp, dn, tp);
    mark(taint, np, nn);
}

mp_limb_t __real___gmpn_sec_div_qr(mp_ptr, mp_ptr, mp_size_t, mp_srcptr, mp_size_t, mp_ptr);
mp_limb_t __wrap___gmpn_sec_div_qr(mp_ptr qp, mp_ptr np, mp_size_t nn, mp_srcptr dp, mp_size_t dn,
                                   mp_ptr tp) {
    const bool taint = secret(np, nn) || secret(dp, dn);
    const mp_limb_t top = __real___gmpn_sec_div_qr(qp, np, nn, dp, dn, tp);
    mark(taint, qp, nn - dn);
    mark(taint, np, nn);
    return marked(taint, top);
}

void __real___gmpn_sec_powm(mp_ptr, mp_srcptr, mp_size_t, mp_srcptr, mp_bitcnt_t, mp_srcptr,
                            mp_size_t, mp_ptr);
void __wrap___gmpn_sec_powm(mp_ptr r, mp_srcptr b, mp_size_t bn, mp_srcptr e, mp_bitcnt_t bits,
                            mp_srcptr m, mp_size_t n, mp_ptr tp) {
    const auto en = static_cast<mp_size_t>((bits + GMP_NUMB_BITS - 1) / GMP_NUMB_BITS);
    const bool taint = secret(b, bn) || secret(e, en) || secret(m, n);
    __real___gmpn_sec_powm(r, b, bn, e, bits, m, n, tp);
    mark(taint, r, n);
}

// ---- Copies

// The struct's fields and the limbs of x's length take x's taint.
void copy_taint(mpz_ptr to, mpz_srcptr x) {
    __msan_copy_shadow(to, x, sizeof *x);
    __msan_copy_shadow(to->_mp_d, x->_mp_d, bytes(std::abs(x->_mp_size)));
    __msan_unpoison(&to->_mp_d, sizeof to->_mp_d);
    __msan_unpoison(&to->_mp_alloc, sizeof to->_mp_alloc);
}

void __real___gmpz_set(mpz_ptr, mpz_srcptr);
void __wrap___gmpz_set(mpz_ptr r, mpz_srcptr x) {
    __real___gmpz_set(r, x);
    copy_taint(r, x);
}

void __real___gmpz_init_set(mpz_ptr, mpz_srcptr);
void __wrap___gmpz_init_set(mpz_ptr r, mpz_srcptr x) {
    __real___gmpz_init_set(r, x);
    copy_taint(r, x);
}

void __real___gmpz_init_set_si(mpz_ptr, long);
void __real___gmpz_init_set_ui(mpz_ptr, unsigned long);
void __real___gmpz_set_si(mpz_ptr, long);
void __real___gmpz_set_ui(mpz_ptr, unsigned long);

}  // extern "C"

namespace {

// An integer set from a machine word, as gmpxx constructs and assigns one:
// GMP writes the struct without touching the shadow, so a stack slot would
// keep the taint of whatever lived there before (a secret limb of an earlier
// frame) and a public constant would pass for a secret. The size and the
// limb take the word's taint instead.
template <auto Real, class Word>
void from_word(mpz_ptr r, Word x) {
    Real(r, x);
    const bool taint = secret(static_cast<mp_limb_t>(x));
    __msan_unpoison(r, sizeof *r);
    if (taint) __msan_poison(&r->_mp_size, sizeof r->_mp_size);
    if (r->_mp_alloc > 0) mark(taint, r->_mp_d, 1);
}

}  // namespace

extern "C" {

void __wrap___gmpz_init_set_si(mpz_ptr r, long x) { from_word<__real___gmpz_init_set_si>(r, x); }
void __wrap___gmpz_init_set_ui(mpz_ptr r, unsigned long x) {
    from_word<__real___gmpz_init_set_ui>(r, x);
}
void __wrap___gmpz_set_si(mpz_ptr r, long x) { from_word<__real___gmpz_set_si>(r, x); }
void __wrap___gmpz_set_ui(mpz_ptr r, unsigned long x) { from_word<__real___gmpz_set_ui>(r, x); }

// ---- Never given a secret

size_t __real___gmpz_sizeinbase(mpz_srcptr, int);
size_t __wrap___gmpz_sizeinbase(mpz_srcptr x, int base) {
    require_public(x);
    return __real___gmpz_sizeinbase(x, base);
}

void* __real___gmpz_export(void*, size_t*, int, size_t, int, size_t, mpz_srcptr);
void* __wrap___gmpz_export(void* out, size_t* count, int order, size_t size, int endian,
                           size_t nails, mpz_srcptr x) {
    require_public(x);
    return __real___gmpz_export(out, count, order, size, endian, nails, x);
}

int __real___gmpz_cmp(mpz_srcptr, mpz_srcptr);
int __wrap___gmpz_cmp(mpz_srcptr a, mpz_srcptr b) {
    require_public(a);
    require_public(b);
    return __real___gmpz_cmp(a, b);
}

int __real___gmpz_cmp_si(mpz_srcptr, long);
int __wrap___gmpz_cmp_si(mpz_srcptr a, long b) {
    require_public(a);
    return __real___gmpz_cmp_si(a, b);
}

void __real___gmpz_mul(mpz_ptr, mpz_srcptr, mpz_srcptr);
void __wrap___gmpz_mul(mpz_ptr r, mpz_srcptr a, mpz_srcptr b) {
    require_public(a);
    require_public(b);
    __real___gmpz_mul(r, a, b);
}

void __real___gmpz_tdiv_r(mpz_ptr, mpz_srcptr, mpz_srcptr);
void __wrap___gmpz_tdiv_r(mpz_ptr r, mpz_srcptr n, mpz_srcptr d) {
    require_public(n);
    require_public(d);
    __real___gmpz_tdiv_r(r, n, d);
}

void __real___gmpz_tdiv_qr(mpz_ptr, mpz_ptr, mpz_srcptr, mpz_srcptr);
void __wrap___gmpz_tdiv_qr(mpz_ptr q, mpz_ptr r, mpz_srcptr n, mpz_srcptr d) {
    require_public(n);
    require_public(d);
    __real___gmpz_tdiv_qr(q, r, n, d);
}

void __real___gmpz_powm(mpz_ptr, mpz_srcptr, mpz_srcptr, mpz_srcptr);
void __wrap___gmpz_powm(mpz_ptr r, mpz_srcptr b, mpz_srcptr e, mpz_srcptr m) {
    for (mpz_srcptr x : {b, e, m}) require_public(x);
    __real___gmpz_powm(r, b, e, m);
}

int __real___gmpz_invert(mpz_ptr, mpz_srcptr, mpz_srcptr);
int __wrap___gmpz_invert(mpz_ptr r, mpz_srcptr a, mpz_srcptr m) {
    require_public(a);
    require_public(m);
    return __real___gmpz_invert(r, a, m);
}

void __real___gmpz_gcd(mpz_ptr, mpz_srcptr, mpz_srcptr);
void __wrap___gmpz_gcd(mpz_ptr r, mpz_srcptr a, mpz_srcptr b) {
    require_public(a);
    require_public(b);
    __real___gmpz_gcd(r, a, b);
}

void __real___gmpz_set_d(mpz_ptr, double);
void __wrap___gmpz_set_d(mpz_ptr r, double y) {
    __msan_check_mem_is_initialized(&y, sizeof y);
    __real___gmpz_set_d(r, y);
}

char* __real___gmpz_get_str(char*, int, mpz_srcptr);
char* __wrap___gmpz_get_str(char* out, int base, mpz_srcptr x) {
    require_public(x);
    return __real___gmpz_get_str(out, base, x);
}

}  // extern "C"
#pragma GCC visibility pop
