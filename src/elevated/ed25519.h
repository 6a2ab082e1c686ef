#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace loftswitch {

using Ed25519Seed = std::array<std::uint8_t, 32>;

// True only for a valid Ed25519 signature (64 bytes) of `message` under the
// 32-byte `publicKey`. Refuses a scalar S at or above the group order and a
// public key whose y coordinate is not reduced, so that a signature has one
// encoding and every verifier agrees on it, and refuses the public keys of
// small order, under which signatures can be made without a private key.
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
