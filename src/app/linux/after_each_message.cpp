#include "app/linux/after_each_message.h"

#include <utility>

namespace zelk::linux_worker {

class AfterEachMessage::Relay final : public WindowHandler {
  public:
    Relay(WindowHandler* handler, const std::function<void()>* after)
        : handler_(handler), after_(after) {}

    intptr_t OnMessage(uint32_t message, uint32_t wParam, int32_t lParam) override {
        const intptr_t result = handler_->OnMessage(message, wParam, lParam);
        (*after_)();
        return result;
    }

  private:
    WindowHandler* handler_;
    const std::function<void()>* after_;
};

AfterEachMessage::AfterEachMessage(Windowing* inner, std::function<void()> after)
    : inner_(inner), after_(std::move(after)) {}

AfterEachMessage::~AfterEachMessage() = default;

Status AfterEachMessage::OpenWindow(const char* title, WindowHandler* handler,
                                    WindowHandle* window) {
    if (handler == nullptr)
        return inner_->OpenWindow(title, handler, window);
    relays_.push_back(std::make_unique<Relay>(handler, &after_));
    return inner_->OpenWindow(title, relays_.back().get(), window);
}

}  // namespace zelk::linux_worker
