// How much of OpenSSL the SNMPv3 engine sets up at start, where a hundred
// agents on one host each pay for it.
#include "agent/crypto_footprint.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

void keepCryptoLean()
{
    // OpenSSL's error texts (about 60 KiB of heap) serve nothing here: the
    // library never prints them, and UDP needs no TLS.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS, nullptr);
    // The default CTR DRBG fetches AES, and a fetch builds every cipher the
    // provider has (about 130 KiB), only to draw the USM salts. SP 800-90A's
    // Hash_DRBG over SHA-256 is as strong and needs the digests only; a
    // manager using privacy still gets its ciphers when it first needs them.
    // Should OpenSSL refuse, the default stays.
    RAND_set_DRBG_type(nullptr, "HASH-DRBG", nullptr, nullptr, "SHA256");
}

void prepareCryptoForDevices()
{
    keepCryptoLean();
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}
