#pragma once

// Ed25519 signatures through libsodium.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace loftswitch {

using Ed25519Seed = std::array<std::uint8_t, 32>;

// True only for a valid Ed25519 signature (64 bytes) of `message` under the
// 32-byte `publicKey`, verified strictly: S must lie below the group order,
// R and the key must be canonical encodings, and neither may be a point of
// small order, so that a signature has one encoding, every strict verifier
// agrees on it, and no signature can be made without the private key.
bool ed25519Verify(std::span<const std::uint8_t> signature,
                   std::span<const std::uint8_t> publicKey,
                   std::span<const std::uint8_t> message);

// The public key of the private key `seed` (the 32 random bytes an Ed25519
// private key is made from).
std::optional<std::array<std::uint8_t, 32>> ed25519PublicKey(const Ed25519Seed& seed);

// The deterministic Ed25519 signature of `message`, checked before it is
// returned; nothing when that check fails.
std::optional<std::array<std::uint8_t, 64>> ed25519Sign(const Ed25519Seed& seed,
                                                        std::span<const std::uint8_t> message);

}  // namespace loftswitch
