#include "signed_structures.h"

#include <openssl/objects.h>

#include "tool_error.h"

namespace zorad::tool {

Bytes CertificateRequest(const GostPublicKey& key, const X509_NAME* subject,
                         const CardSigner& sign) {
  X509ReqPtr request(X509_REQ_new());
  if (!request || !X509_REQ_set_version(request.get(), 0) ||
      !X509_REQ_set_subject_name(request.get(), subject)) {
    ThrowOpenSsl("Building the certificate request");
  }
  SetGostPublicKey(X509_REQ_get_X509_PUBKEY(request.get()), key);
  const AlgorithmPtr algorithm = Algorithm(NID_id_GostR3411_94_with_GostR3410_2001, false);
  if (!X509_REQ_set1_signature_algo(request.get(), algorithm.get())) {
    ThrowOpenSsl("Building the certificate request");
  }
  const Bytes toBeSigned =
      Encoded([&](unsigned char** out) { return i2d_re_X509_REQ_tbs(request.get(), out); },
              "certificate request");
  const Bytes signature = sign(toBeSigned);
  X509_REQ_set0_signature(request.get(), SignatureBits(signature).release());
  return Encoded([&](unsigned char** out) { return i2d_X509_REQ(request.get(), out); },
                 "certificate request");
}

}  // namespace zorad::tool
