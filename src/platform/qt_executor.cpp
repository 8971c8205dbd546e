#include "platform/qt_executor.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace qv {

QtMainExecutor::QtMainExecutor() : context_(std::make_unique<QObject>()) {}

QtMainExecutor::~QtMainExecutor() = default;

void QtMainExecutor::post(Task task) {
    // Calls queued on a context object die with it: nothing runs after the
    // executor is gone.
    QMetaObject::invokeMethod(
        context_.get(), [task = std::move(task)] { runGuarded(task); }, Qt::QueuedConnection);
}

void QtMainExecutor::processPending() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool QtMainExecutor::processFor(std::chrono::milliseconds timeout) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                    static_cast<int>(timeout.count()));
    return true;
}

bool QtMainExecutor::inMainThread() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace qv
