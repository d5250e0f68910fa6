// The reader's vendor name and version.
#include <cstring>

#include "reader/reader_context.h"
#include "reader/reader_fixture.h"

namespace zorad::test {
namespace {

using namespace reader;
namespace pcsc = sim::pcsc;

class VersionTest : public ReaderTest {
 protected:
  ReaderResult Query(Reader* reader, size_t capacity = sizeof vendor_) {
    std::memset(vendor_, '#', sizeof vendor_);
    length_ = capacity;
    version_ = 0xDEADBEEF;
    return GetVersion(reader, kReaderName, vendor_, &length_, &version_);
  }
  std::string Vendor() const { return std::string(reinterpret_cast<const char*>(vendor_), length_); }

  uint8_t vendor_[64];
  size_t length_ = 0;
  uint32_t version_ = 0;
  const std::string kVendor = std::string("Zorad Simulated Readers") + '\0';
};

TEST_F(VersionTest, TemporaryConnectionWithOrWithoutCard) {
  for (const bool withCard : {true, false}) {
    pcsc::Reset();
    ASSERT_EQ(SCARD_S_SUCCESS, OpenReaderContext());
    AddReader({}, withCard);
    ASSERT_EQ(RDR_OK, Query(nullptr)) << withCard;
    EXPECT_EQ(kVendor, Vendor());
    EXPECT_EQ(0x01020003u, version_);
    EXPECT_EQ(withCard ? 1u : 2u, pcsc::CallCount(pcsc::Call::kConnect));
    EXPECT_EQ(0u, pcsc::OpenConnections());
  }
}

TEST_F(VersionTest, UsesTheReadersOwnConnection) {
  Connect();
  ASSERT_EQ(RDR_OK, Query(reader_.get(), 5));
  EXPECT_EQ("Zorad", Vendor());
  EXPECT_EQ(1u, pcsc::CallCount(pcsc::Call::kConnect));
  EXPECT_EQ(1u, pcsc::OpenConnections());
}

TEST_F(VersionTest, UnsupportedAttributesGiveVersionZeroAndAnUntouchedVendor) {
  for (const auto answer : {pcsc::AttributeAnswer::kNotSupported,
                            pcsc::AttributeAnswer::kUnsupportedFeature}) {
    pcsc::Reset();
    ASSERT_EQ(SCARD_S_SUCCESS, OpenReaderContext());
    AddReader({.vendorNameAnswer = answer, .ifdVersionAnswer = answer});
    ASSERT_EQ(RDR_OK, Query(nullptr));
    EXPECT_EQ(0u, version_);
    EXPECT_EQ(sizeof vendor_, length_);
    EXPECT_EQ('#', vendor_[0]);
  }
}

TEST_F(VersionTest, FailedSizeQueryFallsBackToAFixedBuffer) {
  AddReader({.vendorSizeQueryResult = pcsc::kInvalidParameter});
  ASSERT_EQ(RDR_OK, Query(nullptr));
  EXPECT_EQ(kVendor, Vendor());
}

TEST_F(VersionTest, OtherFailuresCloseTheTemporaryConnection) {
  AddReader();
  pcsc::FailNext(pcsc::Call::kGetAttrib, pcsc::kNoService, 1, /*skip=*/2);
  EXPECT_EQ(RDR_NO_SERVICE, Query(nullptr));
  EXPECT_EQ(0u, pcsc::OpenConnections());
}

TEST_F(VersionTest, BadArguments) {
  AddReader();
  EXPECT_EQ(RDR_BAD_ARGUMENTS, GetVersion(nullptr, "", vendor_, &length_, &version_));
  CloseReaderContext();
  EXPECT_EQ(RDR_NOT_CONNECTED, Query(nullptr));
}

}  // namespace
}  // namespace zorad::test
