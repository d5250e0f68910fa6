// zorad-tool end to end: the program runs against the test variant of the
// module, whose simulated card keeps its state in an image file between
// runs. Checks exit codes, messages, the demo, a key's whole round trip
// with the signatures checked outside the card, and that no PIN is printed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "sim/card/gost_crypto.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Env = std::map<std::string, std::string>;

struct ToolRun {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

class ZoradToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zorad_tool_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Path(const std::string& name) const { return dir_ / name; }

  // Runs the tool without a terminal (so a PIN prompt cannot wait for
  // input) on this test's card.
  ToolRun Run(const std::vector<std::string>& args, const Env& env = {}) const {
    std::string command = shellPrefix_ + "ZORAD_TOOL_TEST_CARD=";
    command.append(Quote(Path("card.img").string()));
    for (const auto& [name, value] : env)
      command.append(" ").append(name).append("=").append(Quote(value));
    command.append(" setsid ").append(Quote(ZORAD_TOOL_PATH));
    bool moduleGiven = false;
    for (const std::string& arg : args) moduleGiven = moduleGiven || arg == "--module";
    if (!moduleGiven) command.append(" --module ").append(Quote(ZORAD_TOOL_TEST_MODULE));
    for (const std::string& arg : args) command.append(" ").append(Quote(arg));
    command.append(" </dev/null 2>&1");
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  // Runs and expects the exit code, printing the output when it differs.
  ToolRun Expect(int exitCode, const std::vector<std::string>& args, const Env& env = {}) const {
    ToolRun run = Run(args, env);
    EXPECT_EQ(exitCode, run.exitCode) << run.output;
    return run;
  }

  // Card commands of one run, from the test module's record of them.
  size_t CardCommands(const std::vector<std::string>& args, const Env& env) const {
    Env withLog = env;
    withLog["ZORAD_TOOL_TEST_COMMANDS"] = Path("commands").string();
    Expect(0, args, withLog);
    std::ifstream in(Path("commands"));
    return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
  }

  // Runs a shell command in the test's folder; false when it fails.
  bool Shell(const std::string& command) const {
    return std::system(
               ("cd " + Quote(dir_.string()) + " && " + command + " >/dev/null 2>&1").c_str()) == 0;
  }

  fs::path dir_;
  std::string shellPrefix_;  // shell commands run before the tool's
};

const Env kUserPin = {{"USER_PIN", "12345678"}};
const std::vector<std::string> kWithUserPin = {"--pin-env", "USER_PIN"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(ZoradToolTest, BadCommandLinesGiveUsageAndExitCode) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  };
  const Case cases[] = {
      {{}, 2, "no command given"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"list", "--colour"}, 2, "unknown option '--colour'"},
      {{"keygen"}, 2, "needs '--label'"},
      {{"random", "--bytes"}, 2, "needs a value"},
      {{"random", "--bytes", "0"}, 2, "is not a number from 1 to 65536"},
      {{"slots", "--label", "x"}, 2, "takes no option '--label'"},
      {{"keygen", "--label", "k", "--paramset", "Q"}, 2, "neither A, B, C, XA, XB"},
      {{"keygen", "--label", "k", "--id", "0g"}, 2, "is not hexadecimal"},
      {{"sign", "--key", "k", "--in", "/nonexistent/doc", "--out", "sig"}, 3, "Cannot read"},
      {{"list", "--pin-env", "ZORAD_TOOL_UNSET_VARIABLE"}, 2, "is not set"},
      {{"--module", "/nonexistent/zorad_pkcs11.so", "slots"}, 4, "does not exist"},
      {{"--slot", "one", "info"}, 2, "is not a slot number"},
      {{"--slot", "7", "info"}, 5, "There is no slot 7"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Expect(c.exitCode, c.args);
    EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
    EXPECT_EQ(c.exitCode == 2, run.output.find("usage: zorad-tool") != std::string::npos)
        << run.output;
  }
}

TEST_F(ZoradToolTest, MissingReaderOrCardIsExplained) {
  ToolRun run = Expect(5, {"slots"}, {{"ZORAD_TOOL_TEST_READER", "none"}});
  EXPECT_NE(std::string::npos, run.output.find("No smart-card reader found: start the virtual "
                                               "reader with scripts/virtual-reader start"));
  run = Expect(5, {"info"}, {{"ZORAD_TOOL_TEST_READER", "empty"}});
  EXPECT_NE(std::string::npos, run.output.find("No token found: insert a Zorad card"));
}

TEST_F(ZoradToolTest, DemoKeepsOffCardsInOtherReaders) {
  // The demo erases the token and tries the default SO PIN: on a real card
  // that would cost a try of the SO PIN, so it needs --force there.
  const Env realReader = {{"ZORAD_TOOL_TEST_READER", "Acme CardMan 3121"}};
  ToolRun run = Expect(2, {"demo"}, realReader);
  EXPECT_NE(std::string::npos, run.output.find("add --force")) << run.output;
  run = Expect(0, {"info"}, realReader);
  EXPECT_NE(std::string::npos, run.output.find("label:          Zorad test token")) << run.output;
  Expect(0, {"demo", "--force"}, realReader);
}

TEST_F(ZoradToolTest, ReadOnlyCommandsDescribeReaderAndToken) {
  ToolRun run = Expect(0, {"slots"});
  EXPECT_NE(std::string::npos, run.output.find("Slot 1: Virtual Reader 0")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("\"Zorad test token\", serial 0123456789ABCD"));
  run = Expect(0, {"info"});
  EXPECT_NE(std::string::npos, run.output.find("CKM_GOSTR3410_WITH_GOSTR3411")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("PIN length:     4 to 8 bytes"));
  run = Expect(0, {"wait-event", "--no-block"});
  EXPECT_NE(std::string::npos, run.output.find("(Virtual Reader 0): card present")) << run.output;
}

TEST_F(ZoradToolTest, DemoRunsTheWholeJobAndPrintsOnlyDemoPins) {
  ToolRun run = Expect(0, {"demo"});
  for (const char* text :
       {"SO PIN:   87654321 (demo value)", "user PIN: 12345678 (demo value)", "[8/8]",
        "the signature is valid", "is refused (CKR_", ": private key", "param set:  CryptoPro-A"}) {
    EXPECT_NE(std::string::npos, run.output.find(text)) << text << "\n" << run.output;
  }
  // PINs from the environment are used, never shown; the user PIN set by
  // the demo is the one the card keeps.
  const Env pins = {{"SO", "87654321"}, {"USER", "24681357"}};
  run = Expect(0, {"demo", "--so-pin-env", "SO", "--pin-env", "USER"}, pins);
  EXPECT_EQ(std::string::npos, run.output.find("87654321")) << run.output;
  EXPECT_EQ(std::string::npos, run.output.find("24681357")) << run.output;
  run = Expect(0, {"list", "--pin-env", "USER"}, pins);
  EXPECT_NE(std::string::npos, run.output.find("label:      \"demo key\"")) << run.output;
}

TEST_F(ZoradToolTest, KeyPairSignsAndVerifiesAndIsDeleted) {
  ToolRun run =
      Expect(0, Join({"keygen", "--label", "k1", "--id", "0a0b"}, kWithUserPin), kUserPin);
  EXPECT_NE(std::string::npos, run.output.find("CryptoPro-A (1.2.643.2.2.35.1)")) << run.output;
  Expect(1, Join({"keygen", "--label", "k1"}, kWithUserPin), kUserPin);  // label taken

  const Bytes document = {'c', 'o', 'n', 't', 'r', 'a', 'c', 't'};
  WriteBytes(Path("doc"), document);
  const std::string doc = Path("doc").string(), sig = Path("sig").string();
  Expect(0, Join({"sign", "--key", "k1", "--in", doc, "--out", sig}, kWithUserPin), kUserPin);
  Expect(0, Join({"verify", "--key", "0a0b", "--in", doc, "--sig", sig}, kWithUserPin),
         kUserPin);  // the key by its id
  Expect(0, Join({"export-pubkey", "--key", "k1", "--out", Path("pub").string()}, kWithUserPin),
         kUserPin);
  const Bytes publicKey = ReadBytes(Path("pub"));
  ASSERT_EQ(64u, publicKey.size());
  const auto hash = zorad::sim::GostR341194Hash(document);
  EXPECT_TRUE(zorad::sim::VerifyPkcs11GostSignature(2, publicKey, hash, ReadBytes(Path("sig"))));
  // Hashed here, the document verifies where the card hashes it.
  Expect(0,
         Join({"verify", "--key", "k1", "--in", doc, "--sig", sig, "--mechanism",
               "gostr3410-with-gostr3411"},
              kWithUserPin),
         kUserPin);

  // The hash given by the caller signs alike.
  WriteBytes(Path("hash"), Bytes(hash.begin(), hash.end()));
  Expect(0,
         Join({"sign", "--key", "k1", "--in", Path("hash").string(), "--out", sig, "--mechanism",
               "gostr3410"},
              kWithUserPin),
         kUserPin);
  EXPECT_TRUE(zorad::sim::VerifyPkcs11GostSignature(2, publicKey, hash, ReadBytes(Path("sig"))));

  WriteBytes(Path("doc"), {'c', 'o', 'n', 't', 'r', 'a', 'c', 'T'});
  run =
      Expect(7, Join({"verify", "--key", "k1", "--in", doc, "--sig", sig}, kWithUserPin), kUserPin);
  EXPECT_NE(std::string::npos, run.output.find("Signature INVALID")) << run.output;

  run = Expect(0, Join({"delete", "--object", "k1"}, kWithUserPin), kUserPin);
  EXPECT_NE(std::string::npos, run.output.find("Deleted the private key \"k1\" (id 0a0b)"));
  EXPECT_NE(std::string::npos, run.output.find("Deleted the public key \"k1\" (id 0a0b)"));
  Expect(5, Join({"sign", "--key", "k1", "--in", doc, "--out", sig}, kWithUserPin), kUserPin);
}

TEST_F(ZoradToolTest, PublicKeyPemIsGostSubjectPublicKeyInfo) {
  Expect(0, Join({"keygen", "--label", "k"}, kWithUserPin), kUserPin);
  Expect(0, Join({"export-pubkey", "--key", "k", "--out", Path("raw").string()}, kWithUserPin),
         kUserPin);
  Expect(
      0,
      Join({"export-pubkey", "--key", "k", "--out", Path("pem").string(), "--pem"}, kWithUserPin),
      kUserPin);
  std::string pem;
  for (uint8_t c : ReadBytes(Path("pem"))) pem += static_cast<char>(c);
  ASSERT_EQ(0u, pem.find("-----BEGIN PUBLIC KEY-----\n")) << pem;
  ASSERT_NE(std::string::npos, pem.find("\n-----END PUBLIC KEY-----\n")) << pem;
  // Base64 of the DER: SEQUENCE { SEQUENCE { 1.2.643.2.2.19, SEQUENCE {
  // 1.2.643.2.2.35.1, 1.2.643.2.2.30.1 } }, BIT STRING { OCTET STRING (64) } }.
  std::string base64;
  for (size_t at = pem.find('\n') + 1; pem[at] != '-'; ++at) {
    if (pem[at] != '\n') base64 += pem[at];
  }
  Bytes der;
  uint32_t bits = 0;
  int count = 0;
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (char c : base64) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<uint32_t>(alphabet.find(c));
    if ((count += 6) >= 8) der.push_back(static_cast<uint8_t>(bits >> (count -= 8)));
  }
  Bytes expected = {0x30, 0x63, 0x30, 0x1C, 0x06, 0x06, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x13, 0x30,
                    0x12, 0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01, 0x06, 0x07, 0x2A,
                    0x85, 0x03, 0x02, 0x02, 0x1E, 0x01, 0x03, 0x43, 0x00, 0x04, 0x40};
  const Bytes raw = ReadBytes(Path("raw"));
  expected.insert(expected.end(), raw.begin(), raw.end());
  EXPECT_EQ(expected, der);
}

TEST_F(ZoradToolTest, RandomBytesAsHexOrFile) {
  ToolRun run = Expect(0, {"random", "--bytes", "40"});
  ASSERT_EQ(81u, run.output.size()) << run.output;
  EXPECT_EQ(std::string::npos, run.output.substr(0, 80).find_first_not_of("0123456789abcdef"));
  Expect(0, {"random", "--bytes", "100", "--out", Path("random").string()});
  EXPECT_EQ(100u, ReadBytes(Path("random")).size());
}

TEST_F(ZoradToolTest, WrongPinNamesTheTriesLeft) {
  struct Case {
    const char* triesLeft;
    const char* message;
  };
  const Case cases[] = {
      {"9", "CKR_PIN_INCORRECT. Wrong user PIN: check it and try again"},
      {"2", "CKR_PIN_INCORRECT. Wrong user PIN: 1 try left before it is locked"},
      {"1", "The user PIN is locked: the security officer sets a new one"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Expect(6, {"list", "--pin-env", "WRONG"},
                               {{"WRONG", "97531"}, {"ZORAD_TOOL_TEST_USER_TRIES", c.triesLeft}});
    EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("97531")) << run.output;
  }
}

TEST_F(ZoradToolTest, InitialisationAndPinChanges) {
  const Env pins = {{"SO", "87654321"},
                    {"OLD", "12345678"},
                    {"NEW", "1122"},
                    {"NEWER", "334455"},
                    {"NEW_SO", "55556666"}};
  ToolRun run = Expect(0, {"init", "--label", "fresh token", "--so-pin-env", "SO"}, pins);
  EXPECT_NE(std::string::npos, run.output.find("Next step: the security officer sets the user "
                                               "PIN with 'zorad-tool init-pin'"));
  run = Expect(6, {"list", "--pin-env", "OLD"}, pins);  // replaced by a random PIN
  EXPECT_NE(std::string::npos, run.output.find("sets it with 'zorad-tool init-pin'")) << run.output;
  Expect(0, {"init-pin", "--so-pin-env", "SO", "--pin-env", "NEW"}, pins);
  Expect(6, {"change-pin", "--pin-env", "NEW", "--new-pin-env", "SO_TOO_LONG"},
         {{"NEW", "1122"}, {"SO_TOO_LONG", "123456789"}});
  Expect(0, {"change-pin", "--pin-env", "NEW", "--new-pin-env", "NEWER"}, pins);
  Expect(0, {"list", "--pin-env", "NEWER"}, pins);
  Expect(0, {"change-pin", "--so", "--so-pin-env", "SO", "--new-pin-env", "NEW_SO"}, pins);
  run = Expect(6, {"init", "--label", "again", "--so-pin-env", "SO"}, pins);
  EXPECT_NE(std::string::npos, run.output.find("Wrong SO PIN")) << run.output;
  run = Expect(0, {"info"});
  EXPECT_NE(std::string::npos, run.output.find("label:          fresh token")) << run.output;
}

// A document of any size costs the card one signature: the tool hashes it.
// Hashing on the card stays a choice, for 1 byte to 16 MiB.
TEST_F(ZoradToolTest, DocumentsAreHashedHereWhateverTheirSize) {
  Expect(0, Join({"keygen", "--label", "k"}, kWithUserPin), kUserPin);
  struct Case {
    size_t size;
    const char* mechanism;
    int exitCode;
  };
  const Case cases[] = {{1, nullptr, 0},
                        {0, nullptr, 0},
                        {size_t{1} << 20, nullptr, 0},
                        {0, "gostr3410-with-gostr3411", 3},
                        {(size_t{16} << 20) + 1, "gostr3410-with-gostr3411", 3},
                        {31, "gostr3410", 3}};
  size_t oneByte = 0;
  for (const Case& c : cases) {
    WriteBytes(Path("doc"), Bytes(c.size, 'd'));
    std::vector<std::string> args = {
        "sign",      "--key",   "k", "--in", Path("doc").string(), "--out", Path("sig").string(),
        "--pin-env", "USER_PIN"};
    if (c.mechanism != nullptr) args.insert(args.end(), {"--mechanism", c.mechanism});
    if (c.exitCode != 0) {
      Expect(c.exitCode, args, kUserPin);
      continue;
    }
    const size_t commands = CardCommands(args, kUserPin);
    if (c.size == 1) oneByte = commands;
    EXPECT_LE(commands, oneByte + 40) << c.size << " bytes";
  }
}

// No output file is ever half-written: each command writes a new file and
// renames it over the target (a hard link to the old file keeps the old
// bytes), and a write that fails (at the file size limit) leaves the old
// file and no temporary one.
TEST_F(ZoradToolTest, OutputsReplaceTheirTargetOnlyWhenComplete) {
  Expect(0, Join({"keygen", "--label", "k"}, kWithUserPin), kUserPin);
  WriteBytes(Path("doc"), Bytes(10, 'd'));
  const std::string out = Path("out").string();
  const std::vector<std::vector<std::string>> commands = {
      {"random", "--bytes", "100", "--out", out},
      {"export-pubkey", "--key", "k", "--out", out, "--pem"},
      {"csr", "--key", "k", "--subject", "/CN=k", "--out", out},
      {"sign", "--key", "k", "--in", Path("doc").string(), "--out", out},
      {"random", "--bytes", "65536", "--out", out}};  // over the limit set below
  for (const auto& command : commands) {
    const bool fails = command == commands.back();
    WriteBytes(Path("out"), Bytes(1000, 'o'));
    fs::remove(Path("old"));
    fs::create_hard_link(Path("out"), Path("old"));
    if (fails) shellPrefix_ = "ulimit -f 64; trap '' XFSZ; ";  // 32 KiB, the card image fits
    Expect(fails ? 3 : 0, Join(command, kWithUserPin), kUserPin);
    EXPECT_EQ(Bytes(1000, 'o'), ReadBytes(Path("old"))) << command[0];
    EXPECT_EQ(fails, ReadBytes(Path("out")) == Bytes(1000, 'o')) << command[0];
    for (const auto& entry : fs::directory_iterator(dir_)) {
      EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tmp")) << entry.path();
    }
  }
}

// Certificates made to attack the administrator: control sequences in the
// name, "-----BEGIN" inside DER, the same certificate twice, no end of data.
TEST_F(ZoradToolTest, HostileCertificatesAreEscapedRecognisedAndStoredOnce) {
  if (!Shell("openssl version")) GTEST_SKIP() << "no openssl command";
  ASSERT_TRUE(
      Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout key.pem "
            "-days 1 -utf8 -addext 'nsComment=-----BEGIN CERTIFICATE-----' -out cert.pem -subj "
            "\"$(printf '/CN=\\033]0;owned\\007\\033[2J\\302\\233\\tX\\177')\" && "
            "openssl x509 -in cert.pem -outform DER -out cert.der"));
  const std::string escaped = "\\x1b]0;owned\\x07\\x1b[2J\\u009b\\x09X\\x7f";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  };
  const Case cases[] = {
      {{"import-cert", "--in", Path("cert.der").string(), "--id", "01"}, 0, "as '" + escaped},
      {{"import-cert", "--in", Path("cert.pem").string(), "--id", "01"}, 0, "already on the token"},
      {{"import-cert", "--in", "/dev/zero"}, 3, "larger than 65536 bytes"},
      {{"list"}, 0, "label:      \"" + escaped},
      {{"delete", "--object", "01", "--class", "cert"}, 0, "certificate \"" + escaped},
      {{"list"}, 0, "(no objects)"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Expect(c.exitCode, Join(c.args, kWithUserPin), kUserPin);
    EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find_first_of("\x1b\x07\x7f\x09")) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("\xc2\x9b")) << run.output;
  }
}

}  // namespace
