#pragma once

#include <functional>

namespace veska::station {

// What stops a session from outside: Ctrl-C on a console, the Stop button of a bench. The
// session asks whether it came, lets its handler press Disconnect, and waits for that to end.
class StopSignal {
 public:
  virtual ~StopSignal() = default;
  // Returns only once no call of the previous handler runs any more.
  virtual void SetHandler(std::function<void()> handler) = 0;
  [[nodiscard]] virtual bool Interrupted() const = 0;
  // After the stop: waits until its call of the handler has returned.
  virtual void WaitHandled() = 0;
};

}  // namespace veska::station
