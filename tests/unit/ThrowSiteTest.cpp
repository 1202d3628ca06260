// The throw-site recorder: the replaced __cxa_throw sees every throw of the
// test program, and its notes name the throwing function and its callers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThrowSite.h"

namespace {

struct TFirstError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct TSecondError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Functions whose code the notes must point into. None is inlined, each
// throws on every path, so the throw lies inside the function's own body.
__attribute__((noinline)) void ThrowFirst() {
  throw TFirstError("first");
}
__attribute__((noinline)) void ThrowSecond() {
  throw TSecondError("second");
}
__attribute__((noinline)) void ThrowInt() {
  throw 42;
}
__attribute__((noinline)) void CallsThrowFirst() {
  ThrowFirst();
  asm volatile("");  // keeps the call from becoming a jump
}
__attribute__((noinline)) void Rethrows() {
  try {
    ThrowFirst();
  } catch (...) {
    throw;
  }
}

// An address lies inside a function when it is after its entry and within
// the few hundred bytes such a small function has.
bool Inside(std::uintptr_t address, void (*function)()) {
  const auto entry = reinterpret_cast<std::uintptr_t>(function);
  return address > entry && address < entry + 512;
}

class ThrowSite : public ::testing::Test {
 protected:
  void SetUp() override { SetThrowStackCapture(false); }
  void TearDown() override { SetThrowStackCapture(false); }
};

TEST_F(ThrowSite, EveryThrowIsSeenAndOutsideAHandlerNothingIsCurrent) {
  const std::uint64_t before = ThrowsSeen();
  try {
    ThrowFirst();
  } catch (const TFirstError&) {
  }
  try {
    std::vector<int>().at(3);  // thrown inside the C++ library
  } catch (const std::out_of_range&) {
    TThrowSite site;
    EXPECT_TRUE(CurrentThrowSite(site));
    EXPECT_NE(site.Address, 0u);
  }
  EXPECT_EQ(ThrowsSeen(), before + 2);
  TThrowSite site;
  EXPECT_FALSE(CurrentThrowSite(site));
  const void* object = nullptr;
  const std::type_info* type = nullptr;
  EXPECT_FALSE(CurrentExceptionObject(object, type));
}

TEST_F(ThrowSite, TheSiteIsInsideTheThrowingFunctionWhateverWasThrown) {
  struct TRow {
    void (*Thrower)();
    const std::type_info& Type;
  };
  const TRow rows[] = {{ThrowFirst, typeid(TFirstError)}, {ThrowSecond, typeid(TSecondError)}, {ThrowInt, typeid(int)}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Type.name());
    try {
      row.Thrower();
    } catch (...) {
      const void* object = nullptr;
      const std::type_info* type = nullptr;
      ASSERT_TRUE(CurrentExceptionObject(object, type));
      EXPECT_EQ(*type, row.Type);
      TThrowSite site;
      ASSERT_TRUE(CurrentThrowSite(site));
      EXPECT_TRUE(Inside(site.Address, row.Thrower));
      EXPECT_EQ(site.FrameCount, 0u);  // capture is off
      TThrowSite again;
      ASSERT_TRUE(FindThrowSite(object, type, again));
      EXPECT_EQ(again.Address, site.Address);
      EXPECT_FALSE(FindThrowSite(object, &typeid(std::string), again));  // another type at that address
    }
  }
}

TEST_F(ThrowSite, WithCaptureTheFramesRunFromTheThrowOutward) {
  SetThrowStackCapture(true);
  EXPECT_TRUE(ThrowStackCapture());
  try {
    CallsThrowFirst();
  } catch (const TFirstError&) {
    TThrowSite site;
    ASSERT_TRUE(CurrentThrowSite(site));
    ASSERT_GE(site.FrameCount, 3u);
    EXPECT_EQ(site.Frames[0], site.Address);
    EXPECT_TRUE(Inside(site.Frames[0], ThrowFirst));
    EXPECT_TRUE(Inside(site.Frames[1], CallsThrowFirst));
    // The outermost frames are the test runner's and the C library's.
    for (std::size_t i = 0; i < site.FrameCount; ++i) EXPECT_NE(site.Frames[i], 0u);
  }
}

TEST_F(ThrowSite, ANestedExceptionHasItsOwnSiteAndTheOuterOneKeepsItsOwn) {
  try {
    ThrowFirst();
  } catch (const TFirstError&) {
    TThrowSite outer;
    ASSERT_TRUE(CurrentThrowSite(outer));
    try {
      ThrowSecond();
    } catch (const TSecondError&) {
      TThrowSite inner;
      ASSERT_TRUE(CurrentThrowSite(inner));
      EXPECT_TRUE(Inside(inner.Address, ThrowSecond));
    }
    TThrowSite after;
    ASSERT_TRUE(CurrentThrowSite(after));
    EXPECT_EQ(after.Address, outer.Address);
  }
}

TEST_F(ThrowSite, ARethrowKeepsTheOriginalSite) {
  try {
    Rethrows();
  } catch (const TFirstError&) {
    TThrowSite site;
    ASSERT_TRUE(CurrentThrowSite(site));
    EXPECT_TRUE(Inside(site.Address, ThrowFirst));
  }
  std::exception_ptr kept;
  try {
    ThrowFirst();
  } catch (...) {
    kept = std::current_exception();
  }
  try {
    std::rethrow_exception(kept);
  } catch (const TFirstError&) {
    TThrowSite site;
    ASSERT_TRUE(CurrentThrowSite(site));
    EXPECT_TRUE(Inside(site.Address, ThrowFirst));
  }
}

TEST_F(ThrowSite, AnExceptionNeverThrownHasNoSite) {
  struct TNeverThrown {
    int Value;
  };
  try {
    std::rethrow_exception(std::make_exception_ptr(TNeverThrown{1}));
  } catch (const TNeverThrown&) {
    TThrowSite site;
    EXPECT_FALSE(CurrentThrowSite(site));
  }
}

TEST_F(ThrowSite, TheRingKeepsTheLastSlotsOfAThread) {
  try {
    ThrowFirst();
  } catch (const TFirstError&) {
    const void* object = nullptr;
    const std::type_info* type = nullptr;
    ASSERT_TRUE(CurrentExceptionObject(object, type));
    // Throws on another thread leave this thread's notes alone.
    std::thread other([] {
      for (std::size_t i = 0; i < 2 * ThrowSiteSlots; ++i) try {
          ThrowSecond();
        } catch (const TSecondError&) {
        }
    });
    other.join();
    TThrowSite site;
    ASSERT_TRUE(FindThrowSite(object, type, site));
    for (std::size_t i = 0; i + 1 < ThrowSiteSlots; ++i) try {
        ThrowInt();
      } catch (int) {
      }
    EXPECT_TRUE(FindThrowSite(object, type, site));  // the oldest of the ring now
    try {
      ThrowInt();
    } catch (int) {
    }
    EXPECT_FALSE(FindThrowSite(object, type, site));
  }
}

}  // namespace
