#include "ui/background_account_check.h"

#include <QMetaObject>
#include <exception>
#include <utility>

namespace pixolune::ui {

BackgroundAccountCheck::BackgroundAccountCheck(const CancellableAccountChecker& checker,
                                               std::string token, QObject* receiver, Done done)
    : shared_(std::make_shared<Shared>()) {
    // Everything the thread uses is its own copy or shared ownership; it never
    // touches `receiver` itself, it only posts to it.
    thread_ = std::thread(
        [shared = shared_, checker, token = std::move(token), receiver, done = std::move(done)] {
            AccountCheckResult result;
            try {
                result = checker(token, [&shared] { return shared->abandoned.load(); });
            } catch (const std::exception& error) {
                result.lastError = error.what();  // an exception never crosses the thread
            } catch (...) {
            }
            if (shared->abandoned) return;
            // Posted, not called: the receiver may be gone by the time the event
            // loop runs this, in which case Qt drops the call with the object.
            QMetaObject::invokeMethod(
                receiver,
                [shared, done, result] {
                    if (!shared->abandoned) done(result);
                },
                Qt::QueuedConnection);
        });
}

BackgroundAccountCheck::~BackgroundAccountCheck() {
    shared_->abandoned = true;
    if (thread_.joinable()) thread_.join();
}

}  // namespace pixolune::ui
