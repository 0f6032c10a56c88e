#include "sdk/base/fragments.hpp"

#include <utility>

namespace korvalle::text {

Fragment fragment_of(SharedText text) {
    const std::string_view bytes = *text;
    return Fragment{std::move(text), bytes};
}

Fragment::Fragment(std::string text) : Fragment(fragment_of(std::make_shared<const std::string>(std::move(text)))) {}

std::size_t size_of(const Fragments& fragments) {
    std::size_t size = 0;
    for (const Fragment& fragment : fragments) size += fragment.size();
    return size;
}

std::string joined(const Fragments& fragments) {
    std::string text;
    text.reserve(size_of(fragments));
    for (const Fragment& fragment : fragments) text.append(fragment.bytes);
    return text;
}

void FragmentedText::splice(SharedText text) {
    if (!tail_.empty()) fragments_.emplace_back(std::exchange(tail_, std::string()));
    if (!text->empty()) fragments_.push_back(fragment_of(std::move(text)));
}

Fragments FragmentedText::finish() && {
    if (!tail_.empty()) fragments_.emplace_back(std::move(tail_));
    return std::move(fragments_);
}

}  // namespace korvalle::text
