// Release signatures on Windows: Ed25519 checked here (the system offers no Ed25519), with SHA-512 from the system's
// cryptography (BCrypt); and the system's own code-signing check of a program file (WinVerifyTrust), with the
// signer's common name read from its certificate.
//
// The Ed25519 check is the cofactorless one: the signature (R, S) holds when S is below the group order L, the key
// and R decode to points of more than small order, and [S]B - [k]A encodes to exactly R's bytes, where k is
// SHA-512(R, A, message) reduced modulo L. Only public data is handled, so nothing needs to run in constant time.
#include "platform/sign.h"

#include <windows.h>
#include <bcrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include "platform/windows/wide.h"

namespace sign {
namespace {

using u128 = unsigned __int128;

// ---- The field of p = 2^255 - 19: five limbs of 51 bits, kept below 2^52 between operations.

struct Fe {
  u64 v[5];
};
constexpr u64 mask51 = (u64(1) << 51) - 1;

Fe small(u64 n) { return Fe{{n, 0, 0, 0, 0}}; }

Fe carry(Fe a) {
  u64 c = 0;
  for (int i = 0; i < 5; i++) {
    a.v[i] += c;
    c = a.v[i] >> 51;
    a.v[i] &= mask51;
  }
  a.v[0] += c * 19;
  a.v[1] += a.v[0] >> 51;
  a.v[0] &= mask51;
  return a;
}

Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 5; i++) r.v[i] = a.v[i] + b.v[i];
  return carry(r);
}

// a - b as a + 4p - b, so no limb goes below zero.
Fe sub(const Fe& a, const Fe& b) {
  Fe r;
  r.v[0] = a.v[0] + ((u64(1) << 53) - 76) - b.v[0];
  for (int i = 1; i < 5; i++) r.v[i] = a.v[i] + ((u64(1) << 53) - 4) - b.v[i];
  return carry(r);
}

Fe neg(const Fe& a) { return sub(small(0), a); }

Fe mul(const Fe& a, const Fe& b) {
  const u64 *x = a.v, *y = b.v;
  const u64 y1 = y[1] * 19, y2 = y[2] * 19, y3 = y[3] * 19, y4 = y[4] * 19;
  u128 r[5];
  r[0] = u128(x[0]) * y[0] + u128(x[1]) * y4 + u128(x[2]) * y3 + u128(x[3]) * y2 + u128(x[4]) * y1;
  r[1] = u128(x[0]) * y[1] + u128(x[1]) * y[0] + u128(x[2]) * y4 + u128(x[3]) * y3 + u128(x[4]) * y2;
  r[2] = u128(x[0]) * y[2] + u128(x[1]) * y[1] + u128(x[2]) * y[0] + u128(x[3]) * y4 + u128(x[4]) * y3;
  r[3] = u128(x[0]) * y[3] + u128(x[1]) * y[2] + u128(x[2]) * y[1] + u128(x[3]) * y[0] + u128(x[4]) * y4;
  r[4] = u128(x[0]) * y[4] + u128(x[1]) * y[3] + u128(x[2]) * y[2] + u128(x[3]) * y[1] + u128(x[4]) * y[0];
  Fe out;
  u128 c = 0;
  for (int i = 0; i < 5; i++) {
    r[i] += c;
    out.v[i] = u64(r[i]) & mask51;
    c = r[i] >> 51;
  }
  out.v[0] += u64(c) * 19;
  return carry(out);
}

// a to the power of the 255-bit exponent given as 32 little-endian bytes.
Fe power(const Fe& a, const u8 exponent[32]) {
  Fe r = small(1);
  for (int bit = 254; bit >= 0; bit--) {
    r = mul(r, r);
    if ((exponent[bit / 8] >> (bit % 8)) & 1) r = mul(r, a);
  }
  return r;
}

// The exponents 2^255 - 21 (p - 2: the inverse), 2^252 - 3 ((p - 5) / 8: the square root's) and 2^253 - 5
// ((p - 1) / 4: the square root of -1), as little-endian bytes: a low byte, 30 bytes of 0xFF, a high byte.
struct Exponent {
  u8 bytes[32];
};
Exponent exponent(u8 low, u8 high) {
  Exponent e;
  for (int i = 1; i < 31; i++) e.bytes[i] = 0xFF;
  e.bytes[0] = low, e.bytes[31] = high;
  return e;
}
Fe invert(const Fe& a) { return power(a, exponent(0xEB, 0x7F).bytes); }

Fe from_bytes(const u8 b[32]) {
  u64 w[4];
  for (int i = 0; i < 4; i++) {
    w[i] = 0;
    for (int j = 7; j >= 0; j--) w[i] = w[i] << 8 | b[i * 8 + j];
  }
  return Fe{{w[0] & mask51, (w[0] >> 51 | w[1] << 13) & mask51, (w[1] >> 38 | w[2] << 26) & mask51,
             (w[2] >> 25 | w[3] << 39) & mask51, (w[3] >> 12) & mask51}};
}

// The canonical bytes: the value fully reduced below p.
void to_bytes(Fe a, u8 out[32]) {
  a = carry(a);
  u64 q = (a.v[0] + 19) >> 51;
  for (int i = 1; i < 5; i++) q = (a.v[i] + q) >> 51;
  a.v[0] += 19 * q;
  for (int i = 0; i < 4; i++) {
    a.v[i + 1] += a.v[i] >> 51;
    a.v[i] &= mask51;
  }
  a.v[4] &= mask51;
  const u64 w[4] = {a.v[0] | a.v[1] << 51, a.v[1] >> 13 | a.v[2] << 38, a.v[2] >> 26 | a.v[3] << 25,
                    a.v[3] >> 39 | a.v[4] << 12};
  for (int i = 0; i < 32; i++) out[i] = u8(w[i / 8] >> (8 * (i % 8)));
}

bool equal(const Fe& a, const Fe& b) {
  u8 x[32], y[32];
  to_bytes(a, x);
  to_bytes(b, y);
  return mem::eq(mem::Bytes(x, 32), mem::Bytes(y, 32));
}

bool is_odd(const Fe& a) {
  u8 x[32];
  to_bytes(a, x);
  return x[0] & 1;
}

// ---- The curve -x^2 + y^2 = 1 + d x^2 y^2 in extended coordinates (x = X/Z, y = Y/Z, xy = T/Z).

struct Point {
  Fe x, y, z, t;
};

struct Curve {
  Fe d, d2, root_m1;  // d = -121665/121666, 2d, and a square root of -1
};

Curve curve() {
  Curve c;
  c.d = mul(neg(small(121665)), invert(small(121666)));
  c.d2 = add(c.d, c.d);
  c.root_m1 = power(small(2), exponent(0xFB, 0x1F).bytes);
  return c;
}

Point identity() { return Point{small(0), small(1), small(1), small(0)}; }

// The unified addition of this curve: complete, so it also doubles.
Point add(const Curve& c, const Point& p, const Point& q) {
  const Fe a = mul(sub(p.y, p.x), sub(q.y, q.x));
  const Fe b = mul(add(p.y, p.x), add(q.y, q.x));
  const Fe k = mul(mul(p.t, c.d2), q.t);
  const Fe zz = mul(p.z, q.z);
  const Fe d = add(zz, zz);
  const Fe e = sub(b, a), f = sub(d, k), g = add(d, k), h = add(b, a);
  return Point{mul(e, f), mul(g, h), mul(f, g), mul(e, h)};
}

Point times(const Curve& c, const Point& p, const u8 scalar[32]) {
  Point r = identity();
  for (int bit = 255; bit >= 0; bit--) {
    r = add(c, r, r);
    if ((scalar[bit / 8] >> (bit % 8)) & 1) r = add(c, r, p);
  }
  return r;
}

// A point from its 32 bytes: false when y is not below p, when no x exists, or for "-0".
bool decode(const Curve& c, const u8 bytes[32], Point* out) {
  const Fe y = from_bytes(bytes);
  u8 again[32];
  to_bytes(y, again);
  again[31] |= bytes[31] & 0x80;
  if (!mem::eq(mem::Bytes(again, 32), mem::Bytes(bytes, 32))) return false;
  const Fe yy = mul(y, y);
  const Fe u = sub(yy, small(1)), v = add(mul(c.d, yy), small(1));
  const Fe v3 = mul(mul(v, v), v);
  const Fe v7 = mul(mul(v3, v3), v);
  Fe x = mul(mul(u, v3), power(mul(u, v7), exponent(0xFD, 0x0F).bytes));
  const Fe vxx = mul(v, mul(x, x));
  if (!equal(vxx, u)) {
    if (!equal(vxx, neg(u))) return false;
    x = mul(x, c.root_m1);
  }
  const bool odd = bytes[31] >> 7;
  if (odd && equal(x, small(0))) return false;
  if (is_odd(x) != odd) x = neg(x);
  *out = Point{x, y, small(1), mul(x, y)};
  return true;
}

// The base point: y = 4/5 with x even, whose bytes are 0x58 and then 31 bytes of 0x66.
Point base(const Curve& c) {
  u8 bytes[32];
  for (int i = 1; i < 32; i++) bytes[i] = 0x66;
  bytes[0] = 0x58;
  Point b{};
  decode(c, bytes, &b);
  return b;
}

void encode(const Point& p, u8 out[32]) {
  const Fe zi = invert(p.z);
  const Fe x = mul(p.x, zi), y = mul(p.y, zi);
  to_bytes(y, out);
  out[31] |= u8(is_odd(x) ? 0x80 : 0);
}

// Eight times the point is the identity: a point of order 1, 2, 4 or 8, which proves nothing.
bool small_order(const Curve& c, const Point& p) {
  Point q = p;
  for (int i = 0; i < 3; i++) q = add(c, q, q);
  return equal(q.x, small(0));
}

// ---- Scalars modulo L = 2^252 + 27742317777372353535851937790883648493.

constexpr u64 order[4] = {0x5812631a5cf5d3edULL, 0x14def9dea2f79cd6ULL, 0, 0x1000000000000000ULL};

bool below_order(const u64 s[4]) {
  for (int i = 3; i >= 0; i--) {
    if (s[i] != order[i]) return s[i] < order[i];
  }
  return false;
}

void load_words(const u8* bytes, u64 out[4]) {
  for (int i = 0; i < 4; i++) {
    out[i] = 0;
    for (int j = 7; j >= 0; j--) out[i] = out[i] << 8 | bytes[i * 8 + j];
  }
}

// The 64-byte little-endian number modulo L, bit by bit from the top.
void reduce(const u8 wide[64], u8 out[32]) {
  u64 r[4] = {0, 0, 0, 0};
  for (int bit = 511; bit >= 0; bit--) {
    for (int i = 3; i > 0; i--) r[i] = r[i] << 1 | r[i - 1] >> 63;
    r[0] = r[0] << 1 | ((wide[bit / 8] >> (bit % 8)) & 1);
    if (!below_order(r)) {
      u64 borrow = 0;
      for (int i = 0; i < 4; i++) {
        const u128 d = u128(r[i]) - order[i] - borrow;
        r[i] = u64(d);
        borrow = u64(d >> 64) & 1;
      }
    }
  }
  for (int i = 0; i < 32; i++) out[i] = u8(r[i / 8] >> (8 * (i % 8)));
}

// ---- SHA-512 from the system.

struct Sha512 {
  BCRYPT_ALG_HANDLE algorithm;
  BCRYPT_HASH_HANDLE hash;
};

bool sha_open(Sha512* s) {
  *s = Sha512{};
  if (BCryptOpenAlgorithmProvider(&s->algorithm, BCRYPT_SHA512_ALGORITHM, nullptr, 0) != 0) return false;
  if (BCryptCreateHash(s->algorithm, &s->hash, nullptr, 0, nullptr, 0, 0) == 0) return true;
  BCryptCloseAlgorithmProvider(s->algorithm, 0);
  return false;
}

bool sha_add(Sha512* s, mem::Bytes bytes) {
  for (u64 at = 0; at < bytes.len;) {
    const ULONG n = bytes.len - at < 0x40000000 ? ULONG(bytes.len - at) : 0x40000000;
    if (BCryptHashData(s->hash, const_cast<PUCHAR>(bytes.ptr + at), n, 0) != 0) return false;
    at += n;
  }
  return true;
}

bool sha_close(Sha512* s, u8 out[64]) {
  const bool ok = BCryptFinishHash(s->hash, out, 64, 0) == 0;
  BCryptDestroyHash(s->hash);
  BCryptCloseAlgorithmProvider(s->algorithm, 0);
  return ok;
}

// The message comes as the caller reads it: `more` adds its bytes to the hash and answers false on a failure.
template <typename More>
u32 verify(const u8* signature64, const u8* public_key32, More more) {
  u64 s[4];
  load_words(signature64 + 32, s);
  if (!below_order(s)) return 0;
  const Curve c = curve();
  Point a, r;
  if (!decode(c, public_key32, &a) || !decode(c, signature64, &r) || small_order(c, a) || small_order(c, r)) return 0;
  Sha512 sha;
  if (!sha_open(&sha)) return 0;
  u8 digest[64];
  const bool hashed = sha_add(&sha, mem::Bytes(signature64, 32)) && sha_add(&sha, mem::Bytes(public_key32, 32)) &&
                      more(&sha);
  if (!sha_close(&sha, digest) || !hashed) return 0;
  u8 k[32], check[32];
  reduce(digest, k);
  a.x = neg(a.x), a.t = neg(a.t);
  encode(add(c, times(c, base(c), signature64 + 32), times(c, a, k)), check);
  return mem::eq(mem::Bytes(check, 32), mem::Bytes(signature64, 32)) ? 1 : 0;
}

// ---- The code-signing check.

// The path of the open file, as the system names it; false when it cannot be read.
bool path_of(HANDLE file, wchar_t* out, DWORD capacity) {
  const DWORD n = GetFinalPathNameByHandleW(file, out, capacity, FILE_NAME_NORMALIZED);
  return n != 0 && n < capacity;
}

// The signer's common name is exactly the expected one: as many units (and its terminator), each equal to its byte.
bool signer_named(PCCERT_CONTEXT certificate, mem::Bytes signer) {
  wchar_t name[128];
  const DWORD count = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                                         name, 128);
  if (count != signer.len + 1) return false;
  for (u64 i = 0; i < signer.len; i++)
    if (name[i] != wchar_t(signer.ptr[i])) return false;
  return name[signer.len] == 0;
}

// The first signer's certificate of a verified file (no counter-signer), or null.
PCCERT_CONTEXT signer_certificate(HANDLE state) {
  CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = data ? WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
  if (!signer || signer->csCertChain == 0 || !signer->pasCertChain) return nullptr;
  return signer->pasCertChain[0].pCert;
}

}  // namespace

u32 check_code(u64 file, mem::Bytes signer, bool revocation, CodeCheck* out) {
  *out = CodeCheck{};
  out->revocation = revocation ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
  out->provider_flags = revocation ? WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT : 0;
  wchar_t path[winwide::path_units];
  if (!path_of(winwide::handle(file), path, winwide::path_units)) {
    out->result = GetLastError() ? GetLastError() : ERROR_INVALID_HANDLE;
    return 1;
  }
  WINTRUST_FILE_INFO info{};
  info.cbStruct = sizeof info;
  info.pcwszFilePath = path;
  info.hFile = winwide::handle(file);
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = out->revocation;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = out->provider_flags;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const HWND no_window = static_cast<HWND>(INVALID_HANDLE_VALUE);
  out->result = static_cast<u32>(WinVerifyTrust(no_window, &action, &data));
  if (out->result == 0) {
    PCCERT_CONTEXT certificate = signer_certificate(data.hWVTStateData);
    out->signer_matches = certificate && signer_named(certificate, signer) ? 1 : 0;
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(no_window, &action, &data);
  return 1;
}

u32 verify_bytes(mem::Bytes message, const u8* signature64, const u8* public_key32) {
  return verify(signature64, public_key32, [&](Sha512* sha) { return sha_add(sha, message); });
}

u32 verify_file(u64 file, const u8* signature64, const u8* public_key32) {
  if (file == 0) return 0;
  const HANDLE h = winwide::handle(file);
  return verify(signature64, public_key32, [&](Sha512* sha) {
    u8 piece[65536];
    LARGE_INTEGER size, at{};
    if (!GetFileSizeEx(h, &size) || !SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) return false;
    for (LONGLONG done = 0; done < size.QuadPart;) {
      DWORD got = 0;
      if (!ReadFile(h, piece, sizeof piece, &got, nullptr) || got == 0) return false;
      if (!sha_add(sha, mem::Bytes(piece, got))) return false;
      done += got;
    }
    return true;
  });
}

}  // namespace sign
