// Verification records of one node in one round.
#include "src/payload/verification.hpp"

#include "sdk/run/views.hpp"

#include <algorithm>

namespace korvalle::payload {

namespace {

std::optional<boost::json::value> payload_member(const event::Envelope& envelope, std::string_view key) {
    return envelope.payload.member(key);
}

bool change_check_ok(const event::Envelope& envelope) {
    const auto conclusion = payload_member(envelope, "conclusion");
    if (!conclusion || !conclusion->is_string()) return true;
    std::string word(conclusion->get_string());
    // ASCII letters only: the checks service writes its conclusions in English words.
    std::transform(word.begin(), word.end(), word.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return word == "success" || word == "skipped" || word == "neutral";
}

bool vcs_ok(const event::Envelope& envelope) {
    const std::string& kind = envelope.kind;
    if (kind == "push") {
        const auto accepted = payload_member(envelope, "accepted");
        return accepted && accepted->is_bool() ? accepted->get_bool() : true;
    }
    if (kind == "change-check") return change_check_ok(envelope);
    if (kind == "gate-verdict") {
        const auto verdict = payload_member(envelope, "verdict");
        return verdict && verdict->is_string() && verdict->get_string() == "pass";
    }
    if (kind == "sync-conflict") return false;
    return true;
}

const std::vector<const event::Envelope*> no_envelopes;

}  // namespace

std::string event_output_text(const event::Envelope& envelope) {
    for (std::string_view key : {"detail", "error", "output"}) {
        const auto value = payload_member(envelope, key);
        if (!value) continue;
        // The first key present decides, even when its value is not a text.
        if (const boost::json::string* text = value->if_string()) return std::string(*text);
        return {};
    }
    return {};
}

bool event_ok(const event::Envelope& envelope) {
    if (envelope.source == event::EventSource::Vcs) return vcs_ok(envelope);
    const auto status = payload_member(envelope, "status");
    if (!status || !status->is_string()) return true;
    return status->get_string() == "done";
}

std::vector<VerificationRecord> verification_records(const std::vector<const event::Envelope*>& selected) {
    std::vector<VerificationRecord> records;
    const event::Envelope* previous = nullptr;
    for (const event::Envelope* envelope : selected) {
        // An envelope without references still marks where the next one's work began.
        std::string_view started_at = (previous ? previous : envelope)->ts;
        previous = envelope;
        if (envelope->artifacts.empty()) continue;
        const std::string output = event_output_text(*envelope);
        bool ok = event_ok(*envelope);
        for (const event::ArtifactRef& reference : envelope->artifacts)
            records.push_back(VerificationRecord{output, reference.id, started_at, envelope->ts, ok});
    }
    return records;
}

std::vector<VerificationRecord> verification_records(const views::EnvelopeList& envelopes,
                                                     std::uint64_t round, std::string_view node) {
    std::vector<const event::Envelope*> selected;
    for (const event::Envelope& envelope : envelopes) {
        const event::Labels& labels = envelope.labels;
        if (labels.round == round && labels.node && *labels.node == node) selected.push_back(&envelope);
    }
    return verification_records(selected);
}

EnvelopesByRoundNode::EnvelopesByRoundNode(const views::EnvelopeList& envelopes) {
    for (const event::Envelope& envelope : envelopes) {
        const event::Labels& labels = envelope.labels;
        if (labels.round && labels.node) groups_[Key{*labels.round, *labels.node}].push_back(&envelope);
    }
}

const std::vector<const event::Envelope*>& EnvelopesByRoundNode::of(std::uint64_t round,
                                                                    std::string_view node) const {
    auto it = groups_.find(Key{round, node});
    return it == groups_.end() ? no_envelopes : it->second;
}

boost::json::object verification_detail(const VerificationRecord& record) {
    boost::json::object detail;
    detail.emplace("ok", record.ok);
    detail.emplace("output_tail", record.output_tail);
    detail.emplace("artifact_id", record.artifact_id);
    return detail;
}

boost::json::array current_round_verification(const views::RunView& view, const EnvelopesByRoundNode& index,
                                              std::string_view node) {
    boost::json::array details;
    for (const VerificationRecord& record : verification_records(index.of(std::max<std::uint64_t>(view.round, 1), node)))
        details.push_back(verification_detail(record));
    return details;
}

}  // namespace korvalle::payload
