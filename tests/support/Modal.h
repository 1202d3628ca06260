#pragma once
// Acting on a modal window from inside its modal loop: a test arranges what
// to do with the window before the call that shows it and blocks.
#include <chrono>
#include <functional>

#include <QWidget>

// From the event loop, waits for a modal window that Accept takes (called
// with the active modal widget each time one is up, until it returns true),
// polling every few milliseconds, at most Timeout. Nothing happens when none
// is taken in time; the test's own checks then fail.
void WhenModal(std::function<bool(QWidget* Modal)> Accept,
               std::chrono::milliseconds Timeout = std::chrono::seconds(20));
