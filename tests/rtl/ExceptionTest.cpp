#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "rtl/Classes.h"
#include "rtl/Exception.h"

namespace {

struct TBoxCase {
  const char* Message;
  const char* Shown;
};

class ErrorBoxTextTest : public ::testing::TestWithParam<TBoxCase> {};

TEST_P(ErrorBoxTextTest, AppendsFullStopAfterCodesAboveIt) {
  EXPECT_EQ(ErrorBoxText(GetParam().Message), GetParam().Shown);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, ErrorBoxTextTest,
    ::testing::Values(TBoxCase{"Susie Plugins could not decode", "Susie Plugins could not decode."},
                      TBoxCase{"Already done.", "Already done."},
                      TBoxCase{"trailing blank ", "trailing blank "},
                      TBoxCase{"dash-", "dash-"},          // '-' is 0x2D, below '.'
                      TBoxCase{"slash/", "slash/."},       // '/' is 0x2F, above '.'
                      TBoxCase{"digit 0", "digit 0."},
                      TBoxCase{"正しい保存先フォルダを指定してください", "正しい保存先フォルダを指定してください."},
                      TBoxCase{"終わり。", "終わり。."},  // a Japanese full stop is above '.' too
                      TBoxCase{"", ""}));

// Callers build the message in a buffer of their own that changes or goes before a
// handler reads it: the exception must hold a copy, also when it is copied itself.
TEST(Exceptions, AssertKeepsACopyOfTheMessage) {
  std::string message = "TVxDIB.Assign: InternalDIB Should not be Nil";
  std::unique_ptr<EAssertionFailed> kept;
  try {
    Assert(false, message.c_str());
  } catch (const EAssertionFailed& e) {
    kept = std::make_unique<EAssertionFailed>(e);
  }
  message.assign(message.size(), 'x');
  ASSERT_TRUE(kept);
  EXPECT_STREQ(kept->what(), "TVxDIB.Assign: InternalDIB Should not be Nil");
  EXPECT_NO_THROW(Assert(true, "never"));
}

class TAlpha : public TPersistent {
  TVX_DECLARE_CLASS
};
class TBeta : public TPersistent {
  TVX_DECLARE_CLASS
};
TVX_DEFINE_CLASS(TAlpha, TPersistent)
TVX_DEFINE_CLASS(TBeta, TPersistent)

TEST(Persistent, AssignWithoutConversionNamesBothClasses) {
  TAlpha a;
  TBeta b;
  try {
    a.Assign(&b);
    FAIL() << "no conversion error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TBeta to a TAlpha");
  }
  try {
    a.Assign(nullptr);
    FAIL() << "no conversion error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a nil to a TAlpha");
  }
}

TEST(Persistent, ClassDescriptorsAnswerInheritanceAndCreateInstances) {
  EXPECT_TRUE(TAlpha::ClassInfo().InheritsFrom(TPersistent::ClassInfo()));
  EXPECT_TRUE(TAlpha::ClassInfo().InheritsFrom(TObject::ClassInfo()));
  EXPECT_FALSE(TAlpha::ClassInfo().InheritsFrom(TBeta::ClassInfo()));
  auto made = NewInstance<TPersistent>(TBeta::ClassInfo());
  ASSERT_TRUE(made);
  EXPECT_STREQ(made->ClassName(), "TBeta");
  EXPECT_EQ(NewInstance<TAlpha>(TBeta::ClassInfo()), nullptr);       // not a TAlpha
  EXPECT_EQ(NewInstance<TPersistent>(TPersistent::ClassInfo()), nullptr);  // abstract
}

}  // namespace
