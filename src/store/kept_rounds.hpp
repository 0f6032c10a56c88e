// The run detail's round objects of one view (payload::RoundObject), kept with the view: each
// is made by the first document that needs it and answers later documents for as long as stat
// finds its round files as they were read. A round file can change while the journal does not
// (a live run writes a round's result file after the round's last envelope), so every use of a
// kept object looks at its files first; one whose files changed is made again and replaces it.
//
// The two-second rule of the run cache holds here too: an object read from files that changed
// less than two seconds before the read began answers the document it was made for and is not
// kept, as two writes within one tick of the file system's clock can leave a file's identity as
// it was. Nor is one kept that does not fit the room beside the view (kept_room.hpp). The text of
// an object kept is kept with the view's other texts (kept_texts.hpp), and so is handed over to the
// answers' budget when the object is made again while answers still send it.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/payload/indexes.hpp"
#include "src/store/kept_room.hpp"
#include "src/store/kept_texts.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace korvalle::store {

class KeptRounds {
public:
    using Object = std::shared_ptr<const payload::RoundObject>;
    using Make = std::function<Object()>;

    // The objects kept are counted in room, their texts kept in texts; both must outlive them.
    KeptRounds(KeptRoom& room, KeptTexts& texts) : room_(room), texts_(texts) {}

    // The object of the round: the kept one while its files are unchanged, else the one make()
    // gives, kept when its files had settled before read_from (the clock when the document
    // began; none: keep nothing new) and it fits the room. Concurrent callers that find no
    // usable object make it once: one makes it, the others wait and take it. make runs under the
    // makers' lock: it may take the indexes kept with the view (their once-flags), never another
    // round object.
    Object get(std::uint64_t round, std::optional<std::int64_t> read_from, const Make& make) EXCLUDES(making_, mutex_);

    // The bytes of the last objects made of the rounds whose objects did not fit the room: each
    // document that shows those rounds makes them again.
    std::uint64_t made_alone_bytes() const EXCLUDES(mutex_);

private:
    // The kept object of the round when its files are unchanged; null otherwise.
    Object usable(std::uint64_t round) const EXCLUDES(mutex_);
    // Keeps object for the round in place of what was kept (null, or an object that does not fit
    // the room: keeps none). The object kept, its text kept with the view; null when none is.
    Object keep(std::uint64_t round, const Object& object) EXCLUDES(mutex_);

    // Held by the caller that makes an object, across reading its round files; taken before mutex_.
    sync::Mutex making_ ACQUIRED_BEFORE(mutex_);
    mutable sync::Mutex mutex_;
    std::map<std::uint64_t, Object> objects_ GUARDED_BY(mutex_);
    std::map<std::uint64_t, std::uint64_t> made_alone_ GUARDED_BY(mutex_);  // bytes, by round
    KeptRoom& room_;    // the view's; synchronised on its own (kept_room.hpp)
    KeptTexts& texts_;  // the view's; locks on its own, taken under mutex_
};

}  // namespace korvalle::store
