#pragma once
// The one way tests wait: on a condition, polled, bounded by a time-out.
#include <chrono>
#include <functional>

// Polls `condition` until it holds or `timeout` has passed; returns whether
// it held. The condition is checked once more at the time-out.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));
