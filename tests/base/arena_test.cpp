// The arena of a view's JSON values: values of every size live as long as any of them does,
// whatever was released first, and copies taken into default storage stand alone.
#include "sdk/base/arena.hpp"

#include "sdk/base/json.hpp"

#include <gtest/gtest.h>

#include <boost/json/object.hpp>

#include <optional>
#include <string>

namespace korvalle::json {
namespace {

TEST(Arena, ValuesOfEverySizeOutliveTheirReaderAndEachOther) {
    const std::string big(600 * 1024, 'x');  // beyond a block: a block of its own
    const std::string text = R"({"small":[1,-2,3.5,"é"],"big":")" + big + R"(","nested":{"a":{"b":[{}]}}})";
    std::optional<boost::json::value> kept;
    boost::json::object copied;
    {
        Reader reader(text);
        reader.set_storage(make_arena());
        boost::json::value read = reader.read_value(1, 128);
        for (int i = 0; i < 2000; ++i) read.as_object()["n" + std::to_string(i)] = std::string(40, 'y');
        kept.emplace(read.as_object().at("nested"));  // a copy made in the arena, which it keeps
        copied = boost::json::object(read.as_object(), boost::json::storage_ptr());
    }
    EXPECT_EQ(write(*kept), R"({"a":{"b":[{}]}})");
    EXPECT_EQ(copied.at("big").as_string().size(), big.size());
    EXPECT_EQ(write(copied.at("small")), R"([1,-2,3.5,"é"])");
    EXPECT_EQ(copied.at("n1999").as_string(), std::string(40, 'y'));
    EXPECT_TRUE(copied.storage().get() != kept->storage().get());
    EXPECT_FALSE(kept->storage().is_deallocate_trivial() && !kept->storage().is_shared());
}

}  // namespace
}  // namespace korvalle::json
