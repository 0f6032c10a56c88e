// The arena of a view's JSON values: values of every size are read into it; once sealed, a
// copy made in it is refused, and copies that name the default storage outlive the arena.
#include "sdk/base/arena.hpp"

#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"

#include <gtest/gtest.h>

#include <boost/json/object.hpp>

#include <memory>
#include <optional>
#include <string>

namespace korvalle::json {
namespace {

TEST(Arena, SealedValuesAreReadOnlyAndCopiesNameTheirStorage) {
    const std::string big(600 * 1024, 'x');  // beyond a block: a block of its own
    const std::string text = R"({"small":[1,-2,3.5,"é"],"big":")" + big + R"(","nested":{"a":{"b":[{}]}}})";
    auto arena = std::make_unique<Arena>();
    std::optional<boost::json::value> read;
    {
        Reader reader(text);
        reader.set_storage(arena->storage());
        read.emplace(reader.read_value(1, 128));
    }
    for (int i = 0; i < 2000; ++i) read->as_object()["n" + std::to_string(i)] = std::string(40, 'y');
    arena->seal();

    EXPECT_THROW(boost::json::value(read->at("nested")), SealedArena);
    EXPECT_THROW(read->as_object()["more"] = std::string(40, 'z'), SealedArena);
    const boost::json::object copied(read->as_object(), boost::json::storage_ptr());
    read.reset();
    arena.reset();

    EXPECT_EQ(copied.at("big").as_string().size(), big.size());
    EXPECT_EQ(write(copied.at("small")), R"([1,-2,3.5,"é"])");
    EXPECT_EQ(write(copied.at("nested")), R"({"a":{"b":[{}]}})");
    EXPECT_EQ(copied.at("n1999").as_string(), std::string(40, 'y'));
    EXPECT_FALSE(copied.contains("more"));
}

}  // namespace
}  // namespace korvalle::json
