#include <gtest/gtest.h>

#include "formats/document.h"

namespace vext {
namespace {

TEST(FormatsTest, Placeholder) { EXPECT_TRUE(read_xml("<a/>").ok()); }

}  // namespace
}  // namespace vext
