#include "telvik/protocol/ChannelName.hpp"

#include <gtest/gtest.h>

namespace telvik::protocol {
namespace {

TEST(ChannelName, PlainNameIsTheValueField) {
  const ChannelName n = splitChannelName("QUELLOR:Channel0:dcVoltage");
  EXPECT_TRUE(n.valid);
  EXPECT_EQ(n.base, "QUELLOR:Channel0:dcVoltage");
  EXPECT_EQ(n.field, "VAL");
  EXPECT_FALSE(n.fieldGiven);
  EXPECT_FALSE(n.longString);

  const ChannelName dot = splitChannelName("REC.");
  EXPECT_TRUE(dot.valid);
  EXPECT_EQ(dot.base, "REC");
  EXPECT_EQ(dot.field, "VAL");
}

TEST(ChannelName, FieldsAndLongStringSuffix) {
  const ChannelName desc = splitChannelName("REC.DESC");
  EXPECT_TRUE(desc.valid && desc.fieldGiven);
  EXPECT_EQ(desc.field, "DESC");

  const ChannelName val = splitChannelName("REC.VAL$");
  EXPECT_TRUE(val.valid && val.longString);
  EXPECT_EQ(val.field, "VAL");

  const ChannelName bare = splitChannelName("REC$");
  EXPECT_TRUE(bare.valid && bare.longString);
  EXPECT_EQ(bare.base, "REC");

  const ChannelName range = splitChannelName("REC.VAL$[0:9]");
  EXPECT_TRUE(range.valid && range.longString);
  EXPECT_EQ(range.modifier, "[0:9]");
  EXPECT_EQ(splitChannelName("REC.VAL{\"dbnd\":{}}").modifier, "{\"dbnd\":{}}");
}

TEST(ChannelName, BracesWithoutFieldBelongToTheName) {
  const ChannelName n = splitChannelName("SR{BPM:1}X-I");
  EXPECT_TRUE(n.valid);
  EXPECT_EQ(n.base, "SR{BPM:1}X-I");
  EXPECT_TRUE(n.modifier.empty());
}

TEST(ChannelName, Invalid) {
  for (const char* bad : {"", ".VAL", ".DESC$", "REC.desc", "REC.VAL junk", "REC.1AB", "REC.VAL$$"})
    EXPECT_FALSE(splitChannelName(bad).valid) << bad;
}

} // namespace
} // namespace telvik::protocol
