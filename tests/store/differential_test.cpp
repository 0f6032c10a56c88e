// Every document the store answers (run list, run detail, timeline, conversation, artifact, and the change feed's run signatures), written out, against the plain way of answering it: every
// run opened one after another with views::RunView::all, the run found by a linear search, the
// run list sorted over the views themselves. Over the demo root and over a generated root
// with runs of every state, ties in time, runs that do not open, links and hidden names; and
// again with the store parsing journals in shards so small that every journal makes many.
#include "src/store/store.hpp"
#include "src/store/blocking.hpp"

#include "src/store/change_feed.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/liveness.hpp"
#include "src/payload/artifact.hpp"
#include "src/payload/conversation.hpp"
#include "src/payload/summary.hpp"
#include "src/payload/run_detail/run_detail.hpp"
#include "src/payload/timeline/timeline.hpp"
#include "tests/support/run_items.hpp"
#include "tests/support/server_fixture.hpp"
#include "tests/support/view_support.hpp"

#include <algorithm>
#include <filesystem>
#include <set>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;

// ---- The plain way. ----

// The settings of the store under test, by which the plain way judges liveness too.
const store::Settings& settings() {
    static const store::Settings settings{.telemetry_program = fake_tool_binary().string()};
    return settings;
}

views::LivenessInputs liveness_now() {
    return {settings().host_name, settings().parked_after_seconds, views::now_ms()};
}

bool before(const views::RunView* a, const views::RunView* b) {
    if (a->last_event_at.has_value() != b->last_event_at.has_value()) return a->last_event_at.has_value();
    if (a->last_event_at && *a->last_event_at != *b->last_event_at) return *a->last_event_at > *b->last_event_at;
    return a->id() < b->id();
}

std::string plain_run_list(const store::RunStore& store, const store::RunsQuery& query) {
    const std::vector<views::RunView> views = views::RunView::all(store.root());
    std::vector<const views::RunView*> ordered;
    for (const auto& view : views) ordered.push_back(&view);
    std::sort(ordered.begin(), ordered.end(), before);
    auto start = ordered.begin();
    if (query.cursor) {
        auto at = std::find_if(ordered.begin(), ordered.end(), [&](auto* v) { return v->id() == *query.cursor; });
        if (at != ordered.end()) start = at + 1;
    }
    std::vector<const views::RunView*> page;
    bool more = false;
    for (auto it = start; it != ordered.end(); ++it) {
        if (!query.include_settled && views::is_settled(**it)) continue;
        if (page.size() == query.limit) {
            more = true;
            break;
        }
        page.push_back(*it);
    }
    boost::json::array runs;
    for (const auto* view : page) runs.push_back(payload::run_summary(*view, store::blocking::telemetry(store, *view), liveness_now()));
    boost::json::object document;
    document.emplace("runs", std::move(runs));
    if (more) document.emplace("next_cursor", page.back()->id());
    return json::write(document);
}

// The document of the run found by a linear search, written; "run not found" without one.
template <class Answer>
std::string plain_answer(const store::RunStore& store, const std::string& run, Answer answer) {
    for (const auto& view : views::RunView::all(store.root())) {
        if (view.id() == run) return answer(view);
    }
    return "run not found";
}

template <class Project>
std::string plain_item(const store::RunStore& store, const std::string& run, const std::string& id, Project project) {
    return plain_answer(store, run, [&](const views::RunView& view) {
        auto document = project(view, id);
        return document ? written_text(std::move(*document)) : std::string("item not found");
    });
}

template <class Document>
std::string written(Result<Document, error::ApiError> answer) {
    if (!answer) {
        return answer.error().body().find("run_not_found") != std::string::npos ? "run not found" : "item not found";
    }
    return written_text(std::move(answer).value());
}

// ---- The comparison. ----

void expect_same_documents(const fs::path& root_path,
                           std::uint64_t shard_bytes = views::JournalFanout::default_shard_bytes) {
    store::Settings shards = settings();
    shards.journal_shard_bytes = shard_bytes;
    const auto store = store::RunStore::new_polling_every(root_path.string(), 500, shards);
    const std::vector<views::RunView> views = views::RunView::all(root_path);
    ASSERT_FALSE(views.empty());

    std::vector<std::optional<std::string>> cursors = {std::nullopt, "no-such-run"};
    for (const auto& view : views) cursors.emplace_back(view.id());
    std::size_t lists = 0;
    for (std::uint64_t limit : {1u, 3u, 50u}) {
        for (bool settled : {false, true}) {
            for (const auto& cursor : cursors) {
                const store::RunsQuery query{cursor, limit, settled};
                EXPECT_PRED_FORMAT2(same_document, json::write(store::blocking::run_list(store, query)),
                                    plain_run_list(store, query))
                    << "limit " << limit << " settled " << settled << " cursor " << cursor.value_or("-");
                ++lists;
            }
        }
    }

    // The change feed's signatures, of every run and of each watched run.
    const auto plain_signatures = [&](const std::optional<std::string>& watched) {
        store::Signatures out;
        for (const auto& view : views) {
            if (watched && view.id() != *watched) continue;
            if (contract::validate_run_id(view.id())) out.emplace_back(view.id(), store::RunSignature::of(view));
        }
        return out;
    };
    EXPECT_EQ(store::blocking::run_signatures(store.events({})), plain_signatures(std::nullopt));

    std::size_t items = 0;
    for (const auto& view : views) {
        auto run = contract::RunId::make(view.id());
        if (!run) continue;  // never asked for by id
        EXPECT_EQ(store::blocking::run_signatures(store.events({view.id(), std::nullopt})), plain_signatures(view.id()));
        for (bool with_conversations : {true, false}) {
            EXPECT_PRED_FORMAT2(same_document, written(store::blocking::run(store, *run, with_conversations)),
                                plain_answer(store, view.id(), [&](const auto& v) {
                                    return payload::run_detail(v, with_conversations, store::blocking::telemetry(store, v).get(),
                                                               liveness_now());
                                })) << view.id();
            ++items;
        }
        const RunItems asked = items_of(view);
        std::vector<std::optional<std::string>> scopes = {std::nullopt};
        scopes.insert(scopes.end(), asked.nodes.begin(), asked.nodes.end());
        for (const auto& node : scopes) {
            EXPECT_PRED_FORMAT2(same_document, written(store::blocking::timeline(store, *run, store::TimelineScope{node})),
                                plain_answer(store, view.id(), [&](const auto& v) {
                                    return payload::timeline(v, node ? std::optional<std::string_view>(*node) : std::nullopt);
                                })) << view.id() << " " << node.value_or("-");
            ++items;
        }
        // Each item the store serves against the same item projected from the plain view.
        const auto expect_items = [&](const auto& ids, auto read, auto project) {
            for (const auto& id : ids) {
                auto item = contract::RunId::make(id);
                if (!item) continue;
                EXPECT_PRED_FORMAT2(same_document, written(read(store, *run, *item)),
                                    plain_item(store, view.id(), id, project))
                    << view.id() << " " << id;
                ++items;
            }
        };
        expect_items(asked.conversations, &store::blocking::conversation,
                     [](const views::RunView& v, std::string_view id) { return payload::conversation(v, id); });
        expect_items(asked.artifacts, &store::blocking::artifact, payload::artifact);
    }
    const auto missing = *contract::RunId::make("no-such-run");
    EXPECT_EQ(written(store::blocking::conversation(store, missing, missing)), "run not found");
    EXPECT_EQ(written(store::blocking::run(store, missing, true)), "run not found");
    EXPECT_EQ(written(store::blocking::timeline(store, missing, store::TimelineScope{})), "run not found");
    EXPECT_GT(items, views.size());
    EXPECT_GT(lists, 6u);
}

const fs::path demo_root = fs::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";

TEST(StoreDifferential, DemoRoot) { expect_same_documents(demo_root); }

TEST(StoreDifferential, DemoRootParsedInSmallShards) {
    for (const std::uint64_t shard_bytes : {1, 61, 700}) expect_same_documents(demo_root, shard_bytes);
}

// Copies of the demo runs beside runs of every state: finished, settled, in a round, without a
// journal, with equal last event times, a launch record that does not parse, a link to a run,
// a hidden name.
void expect_same_documents_of_generated_root(std::uint64_t shard_bytes) {
    RunsRoot root;
    int copy = 0;
    for (const auto& entry : fs::directory_iterator(demo_root)) {
        if (!entry.is_directory()) continue;
        for (int i = 0; i < 2; ++i) {
            fs::copy(entry.path(), root.path() / ("copy-" + std::to_string(copy++) + "-" + entry.path().filename().string()),
                     fs::copy_options::recursive);
        }
    }
    for (int i = 0; i < 24; ++i) {
        const std::string id = "gen-" + std::to_string(i);
        const std::string ts = "2026-03-0" + std::to_string(1 + i % 4) + "T09:00:00.000Z";
        switch (i % 5) {
        case 0: add_run(root, id, ts); break;
        case 1: add_run(root, id, ts, /*settled=*/true); break;
        case 2: add_run(root, id, ts, false, /*in_round=*/true); break;
        case 3: add_run(root, id, ""); break;
        default: root.run(id).launch_text(R"({"run_id":"broken"})"); break;
        }
    }
    add_run(root, ".hidden", "2026-03-09T09:00:00.000Z");
    fs::create_directory_symlink(root.path() / "gen-1", root.path() / "linked");
    expect_same_documents(root.path(), shard_bytes);
}

TEST(StoreDifferential, GeneratedRoot) { expect_same_documents_of_generated_root(views::JournalFanout::default_shard_bytes); }

TEST(StoreDifferential, GeneratedRootParsedInSmallShards) { expect_same_documents_of_generated_root(97); }

}  // namespace
}  // namespace korvalle::testing
