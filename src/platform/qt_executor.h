#pragma once
// The program's main executor: calls are queued on the Qt event loop of the
// application's thread.

#include "platform/main_executor.h"

class QObject;

namespace qv {

class QtMainExecutor final : public MainExecutor {
  public:
    QtMainExecutor();
    ~QtMainExecutor() override;

    void post(Task task) override;
    void processPending() override;
    bool processFor(std::chrono::milliseconds timeout) override;
    bool inMainThread() const override;

  private:
    std::unique_ptr<QObject> context_;
};

}  // namespace qv
