#include "elevated/key_id.h"

#include "base/text.h"
#include "elevated/package_contract.h"

namespace loftswitch {

std::string keyId(const Ed25519Key& key) {
  const Sha256Digest digest = Sha256::digest(key);
  return toHex(std::span(digest).first(8));
}

std::string signatureRefusal(const UpdateRequest& request,
                             std::span<const Ed25519Key> trustedKeys) {
  std::string trusted;
  bool signerTrusted = false;
  for (const Ed25519Key& key : trustedKeys) {
    const std::string id = keyId(key);
    trusted += (trusted.empty() ? "" : ", ") + id;
    signerTrusted = signerTrusted || id == request.keyId;
  }
  const std::string trusts = trustedKeys.size() == 1 ? "this install trusts key " + trusted
                                                     : "this install trusts keys " + trusted;
  const std::string message = "the update's signature doesn't verify with any trusted key: ";
  const std::string hint = " (" + std::string(kSignedFieldsHint) + ")";
  if (request.keyId.empty()) {
    return message + trusts + ", and the signed fields don't say which key signed them" + hint;
  }
  if (signerTrusted) {
    return message + "the signed fields name key " + request.keyId +
           ", which this install trusts, so what was offered differs from what was signed" + hint;
  }
  return message + "the signed fields say key " + request.keyId + " signed them, but " + trusts +
         ": sign with a key the install trusts, or first ship an update signed with a trusted key "
         "whose loftswitch.json also lists the public key of " + request.keyId + " in \"publicKeys\"";
}

}  // namespace loftswitch
