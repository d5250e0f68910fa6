#include "sim/card/gost_crypto.h"

#include <gcrypt.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace zorad::sim {
namespace {

void EnsureGcrypt() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Another part of the process may already own the library's set-up.
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return;
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

struct SexpFree {
  void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
struct MpiFree {
  void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
struct PointFree {
  void operator()(gcry_mpi_point_t p) const { gcry_mpi_point_release(p); }
};
struct CtxFree {
  void operator()(gcry_ctx_t c) const { gcry_ctx_release(c); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpFree>;
using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiFree>;
using Point = std::unique_ptr<std::remove_pointer_t<gcry_mpi_point_t>, PointFree>;
using Ctx = std::unique_ptr<std::remove_pointer_t<gcry_ctx_t>, CtxFree>;

Mpi MpiFromBytes(std::span<const uint8_t> bytes) {
  gcry_mpi_t m = nullptr;
  if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr) != 0) return nullptr;
  return Mpi(m);
}

// Writes m big-endian, left-padded, into exactly 32 bytes.
bool MpiTo32(gcry_mpi_t m, uint8_t* out) {
  std::array<uint8_t, 64> buf{};
  size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, buf.data(), buf.size(), &written, m) != 0) return false;
  if (written > 32) return false;
  std::fill(out, out + 32, 0);
  std::copy(buf.begin(), buf.begin() + written, out + 32 - written);
  return true;
}

Mpi FindMpi(gcry_sexp_t list, const char* name) {
  Sexp token(gcry_sexp_find_token(list, name, 0));
  if (!token) return nullptr;
  return Mpi(gcry_sexp_nth_mpi(token.get(), 1, GCRYMPI_FMT_USG));
}

std::vector<uint8_t> UncompressedPoint(std::span<const uint8_t> publicKey) {
  std::vector<uint8_t> q{0x04};
  q.insert(q.end(), publicKey.begin(), publicKey.end());
  return q;
}

Ctx CurveContext(const char* curve) {
  if (curve == nullptr) return nullptr;
  gcry_ctx_t ctx = nullptr;
  if (gcry_mpi_ec_new(&ctx, nullptr, curve) != 0) return nullptr;
  return Ctx(ctx);
}

Mpi HashToMpi(std::span<const uint8_t> hash) {
  // The digest is a little-endian number to GOST.
  std::vector<uint8_t> reversed(hash.rbegin(), hash.rend());
  return MpiFromBytes(reversed);
}

}  // namespace

const char* GostCurveForParamSet(uint8_t code) {
  switch (code) {
    case 1: return "GOST2001-CryptoPro-B";
    case 2: return "GOST2001-CryptoPro-A";
    case 3: return "GOST2001-CryptoPro-C";
    case 4: return "GOST2001-test";
    default: return nullptr;
  }
}

struct GostHashStream::Impl {
  gcry_md_hd_t hd = nullptr;
};

GostHashStream::GostHashStream() : impl_(std::make_unique<Impl>()) {
  EnsureGcrypt();
  gcry_md_open(&impl_->hd, GCRY_MD_GOSTR3411_CP, 0);
}

GostHashStream::~GostHashStream() {
  if (impl_->hd != nullptr) gcry_md_close(impl_->hd);
}

void GostHashStream::Update(std::span<const uint8_t> data) {
  if (impl_->hd != nullptr && !data.empty()) gcry_md_write(impl_->hd, data.data(), data.size());
}

GostHash GostHashStream::Finish() {
  GostHash out{};
  if (impl_->hd == nullptr) return out;
  const unsigned char* digest = gcry_md_read(impl_->hd, GCRY_MD_GOSTR3411_CP);
  if (digest != nullptr) std::copy(digest, digest + out.size(), out.begin());
  gcry_md_reset(impl_->hd);
  return out;
}

GostHash GostR341194Hash(std::span<const uint8_t> data) {
  GostHashStream stream;
  stream.Update(data);
  return stream.Finish();
}

void FillRandom(std::span<uint8_t> out) {
  EnsureGcrypt();
  if (!out.empty()) gcry_randomize(out.data(), out.size(), GCRY_STRONG_RANDOM);
}

std::optional<GostKeyPair> GenerateGostKeyPair(const char* curve) {
  EnsureGcrypt();
  if (curve == nullptr) return std::nullopt;
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(genkey (ecc (curve %s)))", curve) != 0) return std::nullopt;
  Sexp params(raw);
  gcry_sexp_t keyRaw = nullptr;
  if (gcry_pk_genkey(&keyRaw, params.get()) != 0) return std::nullopt;
  Sexp key(keyRaw);
  Mpi d = FindMpi(key.get(), "d");
  if (!d) return std::nullopt;
  GostKeyPair pair{};
  if (!MpiTo32(d.get(), pair.privateKey.data())) return std::nullopt;
  // Derive the public half ourselves so that its encoding never depends on
  // how libgcrypt chose to print q.
  auto pub = DeriveGostPublicKey(curve, pair.privateKey);
  if (!pub) return std::nullopt;
  pair.publicKey = *pub;
  return pair;
}

std::optional<GostPublicKey> DeriveGostPublicKey(const char* curve,
                                                 std::span<const uint8_t> privateKey) {
  EnsureGcrypt();
  Ctx ctx = CurveContext(curve);
  Mpi d = MpiFromBytes(privateKey);
  if (!ctx || !d || privateKey.empty() || privateKey.size() > 32) return std::nullopt;
  Mpi n(gcry_mpi_ec_get_mpi("n", ctx.get(), 1));
  if (!n || gcry_mpi_cmp_ui(d.get(), 0) == 0 || gcry_mpi_cmp(d.get(), n.get()) >= 0) {
    return std::nullopt;
  }
  Point g(gcry_mpi_ec_get_point("g", ctx.get(), 1));
  Point q(gcry_mpi_point_new(0));
  Mpi x(gcry_mpi_new(0));
  Mpi y(gcry_mpi_new(0));
  if (!g) return std::nullopt;
  gcry_mpi_ec_mul(q.get(), d.get(), g.get(), ctx.get());
  if (gcry_mpi_ec_get_affine(x.get(), y.get(), q.get(), ctx.get()) != 0) return std::nullopt;
  GostPublicKey out{};
  if (!MpiTo32(x.get(), out.data()) || !MpiTo32(y.get(), out.data() + 32)) return std::nullopt;
  return out;
}

bool IsGostPublicKeyValid(const char* curve, std::span<const uint8_t> publicKey) {
  EnsureGcrypt();
  Ctx ctx = CurveContext(curve);
  if (!ctx || publicKey.size() != 64) return false;
  Mpi x = MpiFromBytes(publicKey.first(32));
  Mpi y = MpiFromBytes(publicKey.last(32));
  if (!x || !y) return false;
  Point point(gcry_mpi_point_set(nullptr, x.get(), y.get(), GCRYMPI_CONST_ONE));
  return gcry_mpi_ec_curve_point(point.get(), ctx.get()) != 0;
}

std::optional<GostSignature> GostSign(const char* curve, std::span<const uint8_t> privateKey,
                                      std::span<const uint8_t> hash) {
  EnsureGcrypt();
  if (curve == nullptr || hash.size() != 32 || privateKey.size() != 32) return std::nullopt;
  Mpi d = MpiFromBytes(privateKey);
  Mpi e = HashToMpi(hash);
  if (!d || !e) return std::nullopt;
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(private-key (ecc (curve %s) (d %m)))", curve, d.get()) != 0) {
    return std::nullopt;
  }
  Sexp key(raw);
  if (gcry_sexp_build(&raw, nullptr, "(data (flags gost) (value %m))", e.get()) != 0) {
    return std::nullopt;
  }
  Sexp data(raw);
  if (gcry_pk_sign(&raw, data.get(), key.get()) != 0) return std::nullopt;
  Sexp sig(raw);
  Mpi r = FindMpi(sig.get(), "r");
  Mpi s = FindMpi(sig.get(), "s");
  GostSignature out{};
  if (!r || !s || !MpiTo32(s.get(), out.data()) || !MpiTo32(r.get(), out.data() + 32)) {
    return std::nullopt;
  }
  return out;
}

bool GostVerify(const char* curve, std::span<const uint8_t> publicKey,
                std::span<const uint8_t> hash, std::span<const uint8_t> signature) {
  EnsureGcrypt();
  if (curve == nullptr || publicKey.size() != 64 || hash.size() != 32 || signature.size() != 64) {
    return false;
  }
  std::vector<uint8_t> q = UncompressedPoint(publicKey);
  Mpi e = HashToMpi(hash);
  Mpi s = MpiFromBytes(signature.first(32));
  Mpi r = MpiFromBytes(signature.last(32));
  if (!e || !s || !r) return false;
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(public-key (ecc (curve %s) (q %b)))", curve,
                      static_cast<int>(q.size()), q.data()) != 0) {
    return false;
  }
  Sexp key(raw);
  if (gcry_sexp_build(&raw, nullptr, "(data (flags gost) (value %m))", e.get()) != 0) return false;
  Sexp data(raw);
  if (gcry_sexp_build(&raw, nullptr, "(sig-val (gost (r %m) (s %m)))", r.get(), s.get()) != 0) {
    return false;
  }
  Sexp sig(raw);
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

GostPublicKey SwapPublicKeyHalves(std::span<const uint8_t> publicKey) {
  GostPublicKey out{};
  if (publicKey.size() != 64) return out;
  std::reverse_copy(publicKey.begin(), publicKey.begin() + 32, out.begin());
  std::reverse_copy(publicKey.begin() + 32, publicKey.end(), out.begin() + 32);
  return out;
}

bool VerifyPkcs11GostSignature(uint8_t paramSet, std::span<const uint8_t> publicKeyLe,
                               std::span<const uint8_t> hash,
                               std::span<const uint8_t> signature) {
  if (publicKeyLe.size() != 64) return false;
  GostPublicKey cardForm = SwapPublicKeyHalves(publicKeyLe);
  return GostVerify(GostCurveForParamSet(paramSet), cardForm, hash, signature);
}

}  // namespace zorad::sim
