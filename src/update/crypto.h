// The crypto layer: exactly the Monocypher 4 functions the release format
// calls, with Monocypher's names, signatures and results, so that keys,
// signatures and digests are Monocypher's bit for bit. The signature scheme
// is EdDSA over edwards25519 with BLAKE2b-512 as its hash; it does not
// interoperate with Ed25519 (SHA-512) keys or signatures.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// A streaming BLAKE2b computation. The state inside is opaque; it must stay
// 64-byte aligned, which the alignment of the type gives wherever it lives
// (stack, member, or operator new).
typedef struct alignas(64) crypto_blake2b_ctx {
    unsigned char state[384];
    std::size_t hash_size;
} crypto_blake2b_ctx;

// Starts an unkeyed computation of a hash_size-byte digest (1 to 64).
void crypto_blake2b_init(crypto_blake2b_ctx* ctx, std::size_t hash_size);
void crypto_blake2b_update(crypto_blake2b_ctx* ctx, const std::uint8_t* message,
                           std::size_t message_size);
// Writes the digest (hash_size bytes, as given to init) and wipes the context:
// nothing may be fed or finished after it without a new init.
void crypto_blake2b_final(crypto_blake2b_ctx* ctx, std::uint8_t* hash);
// One-shot unkeyed BLAKE2b of message_size bytes into hash_size bytes.
void crypto_blake2b(std::uint8_t* hash, std::size_t hash_size, const std::uint8_t* message,
                    std::size_t message_size);

// Makes a key pair from a 32-byte seed: secret_key is the seed followed by the
// public key. The seed is wiped. The three buffers may overlap.
void crypto_eddsa_key_pair(std::uint8_t secret_key[64], std::uint8_t public_key[32],
                           std::uint8_t seed[32]);
// Deterministic signature (R then S) of message_size bytes.
void crypto_eddsa_sign(std::uint8_t signature[64], const std::uint8_t secret_key[64],
                       const std::uint8_t* message, std::size_t message_size);
// 0 when the signature of the message verifies under public_key, -1 otherwise.
int crypto_eddsa_check(const std::uint8_t signature[64], const std::uint8_t public_key[32],
                       const std::uint8_t* message, std::size_t message_size);

} // extern "C"
