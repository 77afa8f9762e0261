// Safe primes generated once for the tests, so that keys with known factors
// are available without a slow search.
#pragma once

namespace hecrypt::testing {

inline constexpr const char* SAFE_PRIME_1024_1 =
    "8f40c1ad40c66ee1e8a33578d76355b9607533eaf33cd87f64596e423b0549a6a3d9de36b6bd"
    "9471d977deebcdcc5f4323d0220580cd7654644926d16316abc7fc76a4b2516e005df5e8ff6d"
    "6cd0a808d7ff6f2a07fa5b7d0cdac71da5580007f4618b416aad92c58d99f3b96f054e52b896"
    "629d11b627cc0799ea488fb1df1b";
inline constexpr const char* SAFE_PRIME_1024_2 =
    "fb829a3ea5af3a99bc59ba0495c488784db52f9054ec3a9537eabc4743aea3eb3cc7bf70b021"
    "870c00a00c34c26fd7fefb72ef5c8c79cf76879cb1dd5623a06da2053ca43aa0755368997c08"
    "1df17c019bf0913d1b2903b8b5c2d409de8d50054bb7e805e02dae06653f5fb1883fc8b335c0"
    "8a6e9cb833f9828d247f6e96e7a3";
inline constexpr const char* SAFE_PRIME_1536_1 =
    "a4b34d51f21b8827fb047686fb356a8d885173470b55bed1c6804ed842c2f8affc1fb92b9852"
    "daa6317b71caf13a6ec79da805bf9e8fcdc03aa041d2145a4acb2ebbf8e979347b57d1f686c0"
    "814f8e08024dbfd599f46251c5d97f21623bb61f4be155af121f20601f1607f0acfc2bf5414a"
    "14bb03dd69cbe79133f3132f88b9065160584b0343a8072ebee7bf617363244aaee2ce19dd6e"
    "af165e3bb8cbd2cf871076f0bb0548a8017e8d3edb1f02c5718a161e0db34c4b001b119a01d6"
    "3867";
inline constexpr const char* SAFE_PRIME_1536_2 =
    "f9bf15fdef36b5f4430ed3efd585c5b5551b2ed0e19b94dcfab979ef310c9fd45f7b7863108e"
    "10b1b86f6dd691329c9814d236887f305305e2dd0a7b7cc3d0df277863b7be4eea3dbc0205a2"
    "5c30f541fd83355aa8043132173ed2380987f68fca768d765e8033be6485dcdbfd32fbe60adf"
    "3a27427aef8dcf231258bdb41f6b4b64a2c95a412d9da60cf58c2a9244ab92c6bc6d300108a0"
    "44b575d7ad3887433a510f6e9eccd29e9832a29e2a406c0c11e4fd8998e995dff4f333d32f54"
    "3907";

}  // namespace hecrypt::testing
