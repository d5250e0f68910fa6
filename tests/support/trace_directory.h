// The module's trace redirected into a folder of the test's own, and the
// check that a secret shows in a trace in none of the forms it could take.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zorad::test {

// While it lives, C_Initialize finds ZORAD_PKCS11_TRACEMODE set to `mask`
// and TMPDIR pointing at a new folder, so the trace file lands there. The
// destructor unsets the mask, gives TMPDIR its earlier value back and
// removes the folder with what it holds.
class TraceDirectory {
 public:
  explicit TraceDirectory(const std::string& mask);
  ~TraceDirectory();
  TraceDirectory(const TraceDirectory&) = delete;
  TraceDirectory& operator=(const TraceDirectory&) = delete;

  // False when the folder could not be made (tracing then goes elsewhere).
  bool ok() const { return !path_.empty(); }
  std::vector<std::filesystem::path> Files() const;
  // Everything written to the trace files so far.
  std::string Contents() const;

 private:
  std::filesystem::path path_;
  std::string savedTmpDir_;
  bool hadTmpDir_ = false;
};

// The forms a trace could show bytes in: raw, and hexadecimal with and
// without blanks, in either case.
std::vector<std::string> TraceForms(const std::vector<uint8_t>& bytes);

// Expects none of the forms of `secret` in `trace`.
void ExpectAbsentFromTrace(const std::string& trace, const std::vector<uint8_t>& secret,
                           const std::string& what);

}  // namespace zorad::test
