#include "attention.h"

#include "health_status.h"

namespace kalhost {
namespace {

using pixolune::HealthRecord;
using pixolune::HealthState;

// The summary of an attention notice, or nothing for a state that needs nobody.
std::optional<std::string> AttentionSummary(const HealthRecord& record, HealthState state) {
    switch (state) {
        case HealthState::WaitingForSignIn:
            return std::string(record.tokenRefusedAt ? "Pixolune refused the sign-in"
                                                     : "Pixolune is not signed in");
        case HealthState::MediaFolderUnusable:
            return std::string("The Pixolune media folder can't be used");
        case HealthState::DiskReserveReached:
            return std::string("The disk of the Pixolune media folder is full");
        case HealthState::Working:
        case HealthState::ServiceFailing:
        case HealthState::QuietHours:
        case HealthState::Stopped:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<DesktopNotice> AttentionTracker::Next(const HealthRecord& record,
                                                    pixolune::platform::WallTime now) {
    const HealthState state = record.State();
    // A stopped worker says nothing new of what needs the user, nor that all is fine.
    if (state == HealthState::Stopped) return std::nullopt;
    const std::optional<std::string> summary = AttentionSummary(record, state);
    if (summary && shown_ == state) return std::nullopt;
    if (!summary && !shown_) return std::nullopt;
    const HealthReport report = DescribeHealth(record, now);
    DesktopNotice notice;
    notice.body = report.lines.empty() ? std::string() : report.lines.front();
    if (summary) {
        shown_ = state;
        notice.summary = *summary;
        notice.offersSignIn = state == HealthState::WaitingForSignIn;
    } else {
        shown_.reset();
        notice.kind = DesktopNotice::Kind::FineAgain;
        notice.summary = "Pixolune downloads are working again";
    }
    return notice;
}

}  // namespace kalhost
