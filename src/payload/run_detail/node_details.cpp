// The run detail's node details: per node with a branch or current-round version-control or
// artifact activity, its checks, gate verdict, verification records and publication.
#include "src/payload/run_detail/node_details.hpp"
#include "src/payload/run_detail/detail/node_details.hpp"

#include "sdk/run/views.hpp"
#include "src/payload/run_detail/detail/journal_index.hpp"
#include "src/payload/verification.hpp"
#include "src/payload/vocabulary.hpp"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <map>
#include <utility>
#include <vector>

namespace korvalle::payload {

namespace {

using detail::EnvelopeRefs;
using detail::JournalIndex;
using event::EventSource;

// The payload text key of the latest version-control envelope of one of the kinds that has it.
std::optional<std::string> last_text(const EnvelopeRefs& envelopes, std::initializer_list<std::string_view> kinds,
                                     std::string_view key) {
    for (auto it = envelopes.rbegin(); it != envelopes.rend(); ++it) {
        const event::Envelope& envelope = **it;
        if (envelope.source != EventSource::Vcs) continue;
        bool wanted = false;
        for (std::string_view kind : kinds) wanted = wanted || envelope.kind == kind;
        if (!wanted) continue;
        if (auto text = envelope.payload.string_member(key)) return text;
    }
    return std::nullopt;
}

bool any_vcs(const EnvelopeRefs& envelopes, std::initializer_list<std::string_view> kinds) {
    for (const event::Envelope* envelope : envelopes)
        for (std::string_view kind : kinds)
            if (is_event(*envelope, EventSource::Vcs, kind)) return true;
    return false;
}

bool required_check(const event::Envelope& envelope) {
    const auto required = envelope.payload.member("required");
    return required && required->is_bool() && required->get_bool();
}

void check_object(json::Writer& out, const event::Envelope& envelope, std::string_view name) {
    out.begin_object();
    out.member("name", name);
    auto conclusion = envelope.payload.string_member("conclusion");
    auto status = envelope.payload.string_member("status");
    out.member("state", conclusion ? *conclusion : status ? *status : "unknown");
    out.member("required", required_check(envelope));
    if (auto from = envelope.payload.string_member("from_status")) out.member("from_state", *from);
    if (status) out.member("status", *status);
    if (!envelope.artifacts.empty()) out.member("artifact_id", envelope.artifacts.front().id);
    out.end_object();
}

void verification(json::Writer& out, const EnvelopeRefs& vcs, const EnvelopeRefs& of_round) {
    // A later check of the same name replaces the whole earlier one in its first position, so
    // only the latest check of each name is written.
    std::map<std::string, std::size_t, std::less<>> position;
    std::vector<std::pair<std::string, const event::Envelope*>> latest;
    for (const event::Envelope* envelope : vcs) {
        if (std::string_view(envelope->kind) != "change-check") continue;
        auto name = envelope->payload.string_member("name");
        if (!name) continue;
        auto [at, fresh] = position.try_emplace(*name, latest.size());
        if (fresh)
            latest.emplace_back(*name, envelope);
        else
            latest[at->second].second = envelope;
    }
    bool pre_push_hook = false;
    for (const event::Envelope* envelope : vcs) {
        if (std::string_view(envelope->kind) == "gate-verdict" &&
            envelope->payload.string_member("command") == "the repository's pre-push hook")
            pre_push_hook = true;
    }
    out.begin_object();
    if (std::any_of(latest.begin(), latest.end(), [](const auto& check) { return required_check(*check.second); })) {
        out.key("required_checks");
        out.begin_array();
        for (const auto& [name, envelope] : latest)
            if (required_check(*envelope)) out.value(name);
        out.end_array();
    }
    if (pre_push_hook) out.member("pre_push_hook", true);
    if (!latest.empty()) {
        out.key("checks");
        out.begin_array();
        for (const auto& [name, envelope] : latest) check_object(out, *envelope, name);
        out.end_array();
    }
    // The records of the node's envelopes of the current round, as {"ok","output_tail","artifact_id"}.
    out.key("records");
    out.begin_array();
    for (const VerificationRecord& record : verification_records(of_round)) write_verification_detail(out, record);
    out.end_array();
    out.end_object();
}

template <class Map>
std::optional<std::string> entry_of(const Map& map, const std::string& node) {
    auto it = map.find(node);
    if (it == map.end()) return std::nullopt;
    return std::string(it->second);
}

// From the node's version-control envelopes; nothing when the node has no publication.
void publication(json::Writer& out, const views::RunView& view, const std::string& node,
                 const EnvelopeRefs& envelopes) {
    std::optional<std::string> branch = entry_of(view.branches, node);
    if (!branch) branch = last_text(envelopes, {"session-opened"}, "branch");
    if (!branch && !any_vcs(envelopes, {"change-opened", "session-opened"})) return;

    bool merged = any_vcs(envelopes, {"merge-completed", "change-merged"}) || entry_of(view.outcomes, node) == "merged";
    std::optional<std::string> link = entry_of(view.change_urls, node);
    if (!link) link = last_text(envelopes, {"change-opened", "change-merged"}, "url");
    std::optional<std::string> commit = last_text(envelopes, {"merge-completed", "change-merged"}, "sha");
    if (!commit) commit = last_text(envelopes, {"commit-preserved"}, "sha");
    std::optional<std::string> base = last_text(envelopes, {"merge-completed"}, "base");
    if (!base) base = last_text(envelopes, {"change-opened", "session-opened"}, "base");

    out.key("publication");
    out.begin_object();
    if (branch) out.member("branch", *branch);
    out.member("merged", merged);
    if (link) out.member("pr_url", *link);
    if (commit) out.member("commit", *commit);
    if (base) out.member("base_branch", *base);
    out.end_object();
}

}  // namespace

std::string node_details(const views::RunView& view) {
    std::string text;
    json::Writer out(text);
    detail::node_details(out, view, JournalIndex(view.envelopes));
    return text;
}

void detail::node_details(json::Writer& out, const views::RunView& view, const JournalIndex& index) {
    const std::uint64_t round = view.round == 0 ? 1 : view.round;
    // The nodes shown, each with its envelopes of the current round, taken from the node's own
    // envelopes: no envelope's node label is looked up again.
    struct Shown {
        bool shown = false;
        EnvelopeRefs of_round;
    };
    std::map<std::string_view, Shown> nodes;
    for (const auto& [node, branch] : view.branches) nodes[node].shown = true;
    for (const auto& [id, of_node] : index.nodes()) {
        EnvelopeRefs of_round;
        bool shown = false;
        for (const event::Envelope* envelope : of_node.all) {
            if (envelope->labels.round != round) continue;
            of_round.push_back(envelope);
            shown = shown || !envelope->artifacts.empty() || envelope->source == EventSource::Vcs;
        }
        if (of_round.empty()) continue;
        Shown& node = nodes[id];
        node.of_round = std::move(of_round);
        node.shown = node.shown || shown;
    }
    out.begin_object();
    for (const auto& [id, node] : nodes) {
        if (!node.shown) continue;
        // Checks, verdicts and publication come from the node's version-control envelopes of
        // every round; the records from all its envelopes of the current round.
        const EnvelopeRefs& vcs = index.vcs_of_node(id);
        out.key(id);
        out.begin_object();
        out.key("verification");
        verification(out, vcs, node.of_round);
        publication(out, view, std::string(id), vcs);
        out.end_object();
    }
    out.end_object();
}

}  // namespace korvalle::payload
