#pragma once
// Uploads (FTP or database) still running. The program closes itself after an
// unattended run only when none is pending, so that no upload is cut off.
// Several uploads may run at once; each one holds a token from its start until
// it ends, and may drop it in any thread.

#include <atomic>
#include <memory>

namespace qv {

class PendingUploads {
  public:
    class Token {
      public:
        Token() = default;
        Token(Token&& o) noexcept : count_(std::move(o.count_)) {}
        Token& operator=(Token&& o) noexcept {
            if (this != &o) {
                release();
                count_ = std::move(o.count_);
            }
            return *this;
        }
        ~Token() { release(); }
        // Ends the upload's count early; idempotent.
        void release() {
            if (count_) count_->fetch_sub(1);
            count_.reset();
        }

      private:
        friend class PendingUploads;
        explicit Token(std::shared_ptr<std::atomic<int>> c) : count_(std::move(c)) {
            count_->fetch_add(1);
        }
        std::shared_ptr<std::atomic<int>> count_;
    };

    // Counts one upload from now until the token is released or destroyed.
    Token Begin() { return Token(count_); }
    int Count() const { return count_->load(); }

  private:
    // Shared with the tokens: an upload that outlives the window stays safe.
    std::shared_ptr<std::atomic<int>> count_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace qv
