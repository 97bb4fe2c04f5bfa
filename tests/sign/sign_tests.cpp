// The signature check against keys and signatures made by the real minisign
// tool, and running the checked file even when its name is swapped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "held_file.h"
#include "installer_signature.h"
#include "processes.h"
#include "test_support.h"

namespace sig = installer_signature;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class SignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(MakeKey("key")) << "minisign missing?";
    Spit(File(), "#!/bin/sh\necho installer\n");
  }
  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }
  std::string File() const { return Path("setup.exe"); }
  bool MakeKey(const std::string& name) {
    return Shell("minisign -G -W -p " + Path(name + ".pub") + " -s " + Path(name + ".sec"));
  }
  bool Sign(const std::string& key, const std::string& extra = "") {
    return Shell("minisign -S -s " + Path(key + ".sec") + " -t 'version 1.2.3' " + extra + " -m " + File());
  }
  sig::PublicKey Key(const std::string& name = "key") {
    sig::PublicKey key;
    std::string why;
    EXPECT_TRUE(sig::LoadPublicKey(Path(name + ".pub"), &key, &why)) << why;
    return key;
  }
  // Verifies File() with its .minisig, as the installer `name`; the reason
  // or "good: <comment>".
  std::string Check(const sig::PublicKey& key, const std::string& name = "setup.exe") {
    platform::HeldFile file;
    if (!file.Open(File())) return "cannot open";
    std::string text, comment, why;
    if (!platform::ReadSmallFile(File() + ".minisig", sig::kMaxSignatureBytes, &text)) {
      return "the signature cannot be read";
    }
    if (!sig::VerifyFile(key, file, text, name, &comment, &why)) return why;
    return "good: " + comment;
  }

  test_support::TempDir dir_{"sign-tests"};
};

TEST_F(SignTest, PrehashedSignatureOfTheRightKeyIsGood) {
  ASSERT_TRUE(Sign("key"));
  sig::Signature parsed;
  std::string why;
  ASSERT_TRUE(sig::ParseSignature(Slurp(File() + ".minisig"), &parsed, &why)) << why;
  EXPECT_TRUE(parsed.prehashed);
  EXPECT_EQ(Check(Key()), "good: version 1.2.3");
}

TEST_F(SignTest, LegacySignatureOfTheRightKeyIsGood) {
  ASSERT_TRUE(Sign("key", "-l"));
  sig::Signature parsed;
  std::string why;
  ASSERT_TRUE(sig::ParseSignature(Slurp(File() + ".minisig"), &parsed, &why)) << why;
  EXPECT_FALSE(parsed.prehashed);
  EXPECT_EQ(Check(Key()), "good: version 1.2.3");
}

TEST_F(SignTest, KeyIdIsPrintedAsMinisignPrintsIt) {
  // minisign -V names the key it used in its error for a wrong key.
  const std::string pub = Slurp(Path("key.pub"));
  const sig::PublicKey key = Key();
  EXPECT_NE(pub.find(sig::KeyIdHex(key.keyId)), std::string::npos) << pub;
}

TEST_F(SignTest, AnotherKeysSignatureIsRefusedNamingItsKeyId) {
  ASSERT_TRUE(MakeKey("other"));
  ASSERT_TRUE(Sign("other"));
  EXPECT_EQ(Check(Key()), "the signature was made with key id " + sig::KeyIdHex(Key("other").keyId));
}

TEST_F(SignTest, OneChangedByteIsRefusedInBothFormats) {
  for (const char* format : {"", "-l"}) {
    Spit(File(), "#!/bin/sh\necho installer\n");
    ASSERT_TRUE(Sign("key", format));
    Spit(File(), "#!/bin/sh\necho installeR\n");
    EXPECT_EQ(Check(Key()), "the installer does not match its signature") << format;
  }
}

TEST_F(SignTest, ChangedTrustedCommentIsRefused) {
  ASSERT_TRUE(Sign("key"));
  std::string text = Slurp(File() + ".minisig");
  const std::size_t at = text.find("version 1.2.3");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 13, "version 9.9.9");
  Spit(File() + ".minisig", text);
  EXPECT_EQ(Check(Key()), "the trusted comment does not match its signature");
}

// minisign's own comment names the file: a signature replayed under another
// name is refused, while a comment without the field binds no name.
TEST_F(SignTest, FileFieldOfTheTrustedCommentMustNameTheInstaller) {
  ASSERT_TRUE(Shell("minisign -S -s " + Path("key.sec") + " -m " + File()));
  EXPECT_EQ(Check(Key()).rfind("good: timestamp:", 0), 0u);
  EXPECT_EQ(Check(Key(), "Setup_2.0.exe"), "the signature is for the file setup.exe, not Setup_2.0.exe");
  ASSERT_TRUE(Sign("key"));
  EXPECT_EQ(Check(Key(), "Setup_2.0.exe"), "good: version 1.2.3");
}

TEST_F(SignTest, TruncatedGarbageAndHugeSignaturesAreRefused) {
  ASSERT_TRUE(Sign("key"));
  const std::string good = Slurp(File() + ".minisig");
  Spit(File() + ".minisig", good.substr(0, good.size() - 20));
  EXPECT_EQ(Check(Key()), "the signature is malformed");
  Spit(File() + ".minisig", "garbage\n");
  EXPECT_EQ(Check(Key()), "the signature is malformed");
  Spit(File() + ".minisig", good + std::string(sig::kMaxSignatureBytes, '\n'));
  EXPECT_EQ(Check(Key()), "the signature cannot be read");
  ::unlink((File() + ".minisig").c_str());
  EXPECT_EQ(Check(Key()), "the signature cannot be read");
}

TEST_F(SignTest, MalformedOrMissingKeysAreRefused) {
  sig::PublicKey key;
  std::string why;
  const std::string pub = Slurp(Path("key.pub"));
  Spit(Path("bad.pub"), pub.substr(0, pub.size() - 10) + "\n");
  EXPECT_FALSE(sig::LoadPublicKey(Path("bad.pub"), &key, &why));
  EXPECT_EQ(why, "the key file is malformed");
  Spit(Path("bad.pub"), pub + "one line too many\n");
  EXPECT_FALSE(sig::LoadPublicKey(Path("bad.pub"), &key, &why));
  EXPECT_EQ(why, "the key file is malformed");
  EXPECT_FALSE(sig::LoadPublicKey(Path("absent.pub"), &key, &why));
  EXPECT_EQ(why, "the key file cannot be read");
}

// libsodium's decoder takes bytes from 0x80 up as digits: a damaged line
// must be refused, not read as another key or signature.
TEST_F(SignTest, BytesOutsideBase64AreRefused) {
  ASSERT_TRUE(Sign("key"));
  sig::PublicKey key;
  sig::Signature parsed;
  std::string why;
  std::string pub = Slurp(Path("key.pub"));
  pub.replace(pub.find('\n') + 21, 2, "\xc5\xd4");
  EXPECT_FALSE(sig::ParsePublicKey(pub, &key, &why));
  std::string text = Slurp(File() + ".minisig");
  text.replace(text.find('\n') + 41, 4, "\xb7\xb6\xa6\x82");
  EXPECT_FALSE(sig::ParseSignature(text, &parsed, &why));
}

// A closing window stops a long check between chunks instead of waiting for
// the rest of the file.
TEST_F(SignTest, CheckGivenUpBetweenChunksFails) {
  Spit(File(), std::string(3 << 20, 'x'));
  ASSERT_TRUE(Sign("key"));
  platform::HeldFile file;
  ASSERT_TRUE(file.Open(File()));
  std::string text, comment, why;
  ASSERT_TRUE(platform::ReadSmallFile(File() + ".minisig", sig::kMaxSignatureBytes, &text));
  int asked = 0;
  EXPECT_FALSE(sig::VerifyFile(Key(), file, text, "setup.exe", &comment, &why, [&] { return ++asked < 2; }));
  EXPECT_EQ(why, "the check was given up");
  EXPECT_EQ(asked, 2);
}

// A process that replaces the installer right after the check must not get
// its file run: the checked file is what starts, a script through the
// descriptor its interpreter inherits (which it sees as its own name).
TEST_F(SignTest, InstallerSwappedAfterTheCheckIsNotWhatRuns) {
  const std::string marker = Path("ran");
  Spit(File(), "#!/bin/sh\necho good \"$0\" > " + marker + "\n");
  ASSERT_TRUE(Sign("key"));
  Spit(Path("evil"), "#!/bin/sh\necho evil > " + marker + "\n");
  ::chmod(Path("evil").c_str(), 0700);

  platform::HeldFile file;
  ASSERT_TRUE(file.Open(File()));
  std::string comment, why;
  std::string text;
  ASSERT_TRUE(platform::ReadSmallFile(File() + ".minisig", sig::kMaxSignatureBytes, &text));
  ASSERT_TRUE(sig::VerifyFile(Key(), file, text, "setup.exe", &comment, &why)) << why;
  ASSERT_TRUE(Shell("mv -f " + Path("evil") + " " + File()));  // the swap, by another process

  platform::Process process;
  ASSERT_EQ(platform::LaunchHeldInstaller(file, File(), &process), 1);
  ASSERT_EQ(platform::WaitForProcess(process, 10000), platform::kWaitEnded);
  EXPECT_EQ(Slurp(marker), "good /proc/self/fd/3\n");
}

}  // namespace
