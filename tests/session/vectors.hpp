#pragma once

// Reference values computed with node's crypto module (an implementation independent of
// OpenSSL's EVP calls made here), by this script:
//
//   const c = require('crypto');
//   const key = Buffer.from([...Array(32).keys()]);                        // 00..1f
//   const cn = Buffer.from([...Array(16).keys()].map(i => 0xa0 + i));      // a0..af
//   const sn = Buffer.from([...Array(16).keys()].map(i => 0xb0 + i));      // b0..bf
//   const salt = Buffer.concat([cn, sn]);
//   c.hkdfSync('sha256', key, salt, Buffer.from('vf1 c2s'), 32);           // and 'vf1 s2c'
//   c.createHmac('sha256', key)
//    .update(Buffer.concat([Buffer.from('vf1-client'), cn, sn])).digest(); // and vf1-server
//   // each sealed message: counter (8 bytes BE) | AES-256-GCM(key, 00000000 | counter) | tag
//   // of the plaintext Buffer.from('\x01{"t":"ping"}') at counters 0, 1 and 2^32 + 5
namespace nimbrel::test::vectors {

inline constexpr const char* kPairingKey =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
inline constexpr const char* kClientNonce = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
inline constexpr const char* kServerNonce = "b0b1b2b3b4b5b6b7b8b9babbbcbdbebf";

inline constexpr const char* kClientToHostKey =
    "6bb60151f5d2164e6db73cb50d141d299c2d09382ee39ae96e5a3371a30facdb";
inline constexpr const char* kHostToClientKey =
    "24d8697679d75987c5f2a2c26e0e3180ef57d006365043539749c83a16f9c9e0";

inline constexpr const char* kClientProof =
    "6a141e447807fb9ed8691ef13ae83fac5c12471dd42f0745de389c7252adc506";
inline constexpr const char* kServerProof =
    "fc8843b6fc597d28785e0366e0a6a2d8b187de323417652132d7ed5ac237c2d1";

inline constexpr const char* kPlaintext = "\x01{\"t\":\"ping\"}";

struct Sealed {
  unsigned long long counter;
  const char* hostToClient;  // sealed with the "vf1 s2c" key
  const char* clientToHost;  // sealed with the "vf1 c2s" key
};

inline constexpr Sealed kSealed[] = {
    {0, "0000000000000000695303a168aa44ca3e85bf49c8eb36f0672ed32f5e8fecc62d29057cee",
     "00000000000000002d45cf9002cd163a77da34e1ee7c4a6c1780b4b85395235f1f2e91fc33"},
    {1, "00000000000000019fe83ef60c8dfabebdf18809e5bf0cc0c57113dcdc948aa1ab4841fe2c",
     "00000000000000011acada499dc100261421b3e7ebb049531faca8bef06cd6c412b2e5c283"},
    {4294967301ULL, "000000010000000535f1fb444920e97e80f4d702920911ab0920e1cf6fc65ef5cd24a76027",
     "00000001000000059d792ef2c599d013e32d88b45c6e1e1312d13cb8744c73a75881ae2b89"},
};

}  // namespace nimbrel::test::vectors
