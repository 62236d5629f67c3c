// The crypto layer on libsodium: BLAKE2b from its generichash, and
// Monocypher's EdDSA (edwards25519 with BLAKE2b-512) from its edwards25519
// scalar and point arithmetic. Every secret intermediate is wiped.
#include "update/crypto.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>

static_assert(sizeof(crypto_generichash_blake2b_state) <= sizeof(crypto_blake2b_ctx::state),
              "the BLAKE2b state must fit the context");
static_assert(alignof(crypto_blake2b_ctx) >= alignof(crypto_generichash_blake2b_state),
              "the BLAKE2b state needs its alignment");

namespace {

// libsodium picks its fastest code paths in sodium_init; it is called once,
// on first use, from whichever thread gets there first. It fails only when
// the library cannot work at all, and no digest or signature may come from a
// half-working library.
void startSodium() {
    static const bool started = sodium_init() >= 0;
    if (!started) std::abort();
}

crypto_generichash_blake2b_state* stateOf(crypto_blake2b_ctx* ctx) {
    return reinterpret_cast<crypto_generichash_blake2b_state*>(ctx->state);
}

// Scalars are 32 bytes little-endian; a 64-byte hash is reduced modulo L.
void reduceWide(std::uint8_t scalar[32], std::uint8_t wide[64]) {
    crypto_core_ed25519_scalar_reduce(scalar, wide);
    sodium_memzero(wide, 64);
}

// a = the first half of BLAKE2b-512(seed), clamped, then reduced modulo L
// (the same point multiple, and within the range the scalar arithmetic takes).
// prefix receives the second half of the hash.
void expandSeed(const std::uint8_t seed[32], std::uint8_t a[32], std::uint8_t prefix[32]) {
    std::uint8_t h[64];
    crypto_blake2b(h, 64, seed, 32);
    h[0] &= 248;
    h[31] &= 127;
    h[31] |= 64;
    if (prefix) std::memcpy(prefix, h + 32, 32);
    std::uint8_t wide[64] = {};
    std::memcpy(wide, h, 32);
    sodium_memzero(h, sizeof h);
    reduceWide(a, wide);
}

// [scalar]B for a scalar below L. libsodium refuses to produce the neutral
// element, which is the right answer for a zero scalar.
void scalarBase(std::uint8_t point[32], const std::uint8_t scalar[32]) {
    if (sodium_is_zero(scalar, 32)) {
        std::memset(point, 0, 32);
        point[0] = 1;
        return;
    }
    crypto_scalarmult_ed25519_base_noclamp(point, scalar);
}

// BLAKE2b-512 over up to three pieces, then reduced modulo L.
void hashToScalar(std::uint8_t scalar[32], const std::uint8_t* a, std::size_t aSize,
                  const std::uint8_t* b, std::size_t bSize, const std::uint8_t* message,
                  std::size_t messageSize) {
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 64);
    crypto_blake2b_update(&ctx, a, aSize);
    crypto_blake2b_update(&ctx, b, bSize);
    crypto_blake2b_update(&ctx, message, messageSize);
    std::uint8_t wide[64];
    crypto_blake2b_final(&ctx, wide);
    reduceWide(scalar, wide);
}

// True when scalar < L: reducing a canonical scalar leaves it unchanged.
bool isCanonicalScalar(const std::uint8_t scalar[32]) {
    std::uint8_t wide[64] = {};
    std::memcpy(wide, scalar, 32);
    std::uint8_t reduced[32];
    crypto_core_ed25519_scalar_reduce(reduced, wide);
    return std::memcmp(reduced, scalar, 32) == 0;
}

} // namespace

extern "C" {

void crypto_blake2b_init(crypto_blake2b_ctx* ctx, std::size_t hash_size) {
    startSodium();
    ctx->hash_size = hash_size;
    crypto_generichash_blake2b_init(stateOf(ctx), nullptr, 0, hash_size);
}

void crypto_blake2b_update(crypto_blake2b_ctx* ctx, const std::uint8_t* message,
                           std::size_t message_size) {
    if (message_size == 0) return;
    crypto_generichash_blake2b_update(stateOf(ctx), message, message_size);
}

void crypto_blake2b_final(crypto_blake2b_ctx* ctx, std::uint8_t* hash) {
    crypto_generichash_blake2b_final(stateOf(ctx), hash, ctx->hash_size);
    sodium_memzero(ctx, sizeof *ctx);
}

void crypto_blake2b(std::uint8_t* hash, std::size_t hash_size, const std::uint8_t* message,
                    std::size_t message_size) {
    startSodium();
    crypto_generichash_blake2b(hash, hash_size, message, message_size, nullptr, 0);
}

void crypto_eddsa_key_pair(std::uint8_t secret_key[64], std::uint8_t public_key[32],
                           std::uint8_t seed[32]) {
    // The caller's buffers may overlap, so the seed is taken first and the
    // outputs are written last.
    std::uint8_t ownSeed[32];
    std::memcpy(ownSeed, seed, 32);
    sodium_memzero(seed, 32);
    std::uint8_t a[32];
    expandSeed(ownSeed, a, nullptr);
    std::uint8_t point[32];
    scalarBase(point, a);
    sodium_memzero(a, sizeof a);
    std::memcpy(secret_key, ownSeed, 32);
    std::memcpy(secret_key + 32, point, 32);
    std::memcpy(public_key, point, 32);
    sodium_memzero(ownSeed, sizeof ownSeed);
}

void crypto_eddsa_sign(std::uint8_t signature[64], const std::uint8_t secret_key[64],
                       const std::uint8_t* message, std::size_t message_size) {
    std::uint8_t a[32];
    std::uint8_t prefix[32];
    expandSeed(secret_key, a, prefix);

    std::uint8_t r[32];
    hashToScalar(r, prefix, 32, nullptr, 0, message, message_size);
    std::uint8_t bigR[32];
    scalarBase(bigR, r);

    std::uint8_t k[32];
    hashToScalar(k, bigR, 32, secret_key + 32, 32, message, message_size);
    std::uint8_t s[32];
    crypto_core_ed25519_scalar_mul(s, k, a);
    crypto_core_ed25519_scalar_add(s, s, r);

    // The message may lie in the signature buffer: write only at the end.
    std::memcpy(signature, bigR, 32);
    std::memcpy(signature + 32, s, 32);
    sodium_memzero(a, sizeof a);
    sodium_memzero(prefix, sizeof prefix);
    sodium_memzero(r, sizeof r);
}

int crypto_eddsa_check(const std::uint8_t signature[64], const std::uint8_t public_key[32],
                       const std::uint8_t* message, std::size_t message_size) {
    const std::uint8_t* bigR = signature;
    const std::uint8_t* s = signature + 32;
    // S at or above L would make signatures malleable.
    if (!isCanonicalScalar(s)) return -1;
    // A must be a point of the prime-order group, as every key pair makes.
    if (crypto_core_ed25519_is_valid_point(public_key) != 1) return -1;

    std::uint8_t k[32];
    hashToScalar(k, bigR, 32, public_key, 32, message, message_size);

    std::uint8_t sB[32];
    scalarBase(sB, s);
    std::uint8_t kA[32];
    if (sodium_is_zero(k, 32)) {
        std::memset(kA, 0, 32);
        kA[0] = 1;
    } else if (crypto_scalarmult_ed25519_noclamp(kA, k, public_key) != 0) {
        return -1;
    }
    // Valid only when [S]B - [k]A encodes to exactly R: strict, so it accepts
    // every signature the signer makes and nothing a cofactored check would
    // refuse.
    std::uint8_t check[32];
    if (crypto_core_ed25519_sub(check, sB, kA) != 0) return -1;
    return crypto_verify_32(check, bigR) == 0 ? 0 : -1;
}

} // extern "C"
