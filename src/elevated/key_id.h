#pragma once

#include <span>
#include <string>

#include "elevated/request.h"

namespace loftswitch {

// A short name for a public key, to tell keys apart in messages: the first
// 8 bytes of the key's SHA-256 in hex. Nothing signs it and nothing trusts
// it; it only points a person at the right key.
std::string keyId(const Ed25519Key& key);

// Why no key in `trustedKeys` verifies the request's signature, and what to
// do: the key the signed fields name as their signer (unsigned, so a hint
// only), the keys this install trusts, and when the named signer is among
// them, that what was signed differs from what was offered.
std::string signatureRefusal(const UpdateRequest& request,
                             std::span<const Ed25519Key> trustedKeys);

}  // namespace loftswitch
