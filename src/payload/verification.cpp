// Verification records of one node in one round.
#include "src/payload/verification.hpp"

#include "sdk/run/views.hpp"

#include <algorithm>
#include <array>

namespace korvalle::payload {

namespace {

using event::ObjectText;

// The payload members an event's output text and verdict are read from, found in one look at
// the payload: the texts of their values, empty for a member that is not there.
class RecordMembers {
public:
    explicit RecordMembers(const event::Envelope& envelope) {
        ObjectText::member_texts(envelope.payload.text(), keys, values_);
    }

    // The first of "detail", "error" and "output" that is present decides; its text when it is
    // a string, else empty.
    std::string output_text() const {
        for (std::size_t i = detail; i <= output; ++i) {
            if (values_[i].empty()) continue;
            std::string scratch;
            const std::optional<std::string_view> text = ObjectText::string_of(values_[i], &scratch);
            return text ? std::string(*text) : std::string();
        }
        return {};
    }

    bool ok(const event::Envelope& envelope) const {
        if (envelope.source == event::EventSource::Vcs) return vcs_ok(envelope.kind);
        // A status that is not a string says nothing against the event.
        std::string scratch;
        const std::optional<std::string_view> word = ObjectText::string_of(values_[status], &scratch);
        return !word || *word == "done";
    }

private:
    enum Key : std::size_t { detail, error, output, accepted, conclusion, verdict, status, count };
    static constexpr std::array<std::string_view, count> keys{"detail", "error", "output", "accepted",
                                                              "conclusion", "verdict", "status"};

    bool vcs_ok(std::string_view kind) const {
        std::string scratch;
        if (kind == "push") return values_[accepted] != "false";  // true unless a boolean false
        if (kind == "change-check") {
            const std::optional<std::string_view> text = ObjectText::string_of(values_[conclusion], &scratch);
            if (!text) return true;
            std::string word(*text);
            // ASCII letters only: the checks service writes its conclusions in English words.
            std::transform(word.begin(), word.end(), word.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
            return word == "success" || word == "skipped" || word == "neutral";
        }
        if (kind == "gate-verdict") return ObjectText::string_of(values_[verdict], &scratch) == "pass";
        if (kind == "sync-conflict") return false;
        return true;
    }

    std::array<std::string_view, count> values_;
};

const std::vector<const event::Envelope*> no_envelopes;

}  // namespace

std::string event_output_text(const event::Envelope& envelope) { return RecordMembers(envelope).output_text(); }

bool event_ok(const event::Envelope& envelope) { return RecordMembers(envelope).ok(envelope); }

std::vector<VerificationRecord> verification_records(const std::vector<const event::Envelope*>& selected) {
    std::vector<VerificationRecord> records;
    const event::Envelope* previous = nullptr;
    for (const event::Envelope* envelope : selected) {
        // An envelope without references still marks where the next one's work began.
        std::string_view started_at = (previous ? previous : envelope)->ts;
        previous = envelope;
        if (envelope->artifacts.empty()) continue;
        const RecordMembers members(*envelope);
        const std::string output = members.output_text();
        const bool ok = members.ok(*envelope);
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

void write_verification_detail(json::Writer& out, const VerificationRecord& record) {
    out.begin_object();
    out.member("ok", record.ok);
    out.member("output_tail", record.output_tail);
    out.member("artifact_id", record.artifact_id);
    out.end_object();
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
