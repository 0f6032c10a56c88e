#include "src/store/page_memo.hpp"

#include <utility>

namespace korvalle::store {

PageMemo::Text PageMemo::page(const std::string& key, Inputs inputs,
                              const std::function<std::string(const Inputs&)>& make) {
    {
        sync::Lock lock(mutex_);
        if (const auto* kept = kept_.find(key); kept && (*kept)->inputs == inputs) {
            kept_.touch(key, *kept);
            return (*kept)->text;
        }
    }
    auto text = std::make_shared<const std::string>(make(inputs));
    auto made = std::make_shared<const Kept>(Kept{std::move(inputs), std::move(text)});
    sync::Lock lock(mutex_);
    kept_.put(key, made, 1);
    return made->text;
}

}  // namespace korvalle::store
