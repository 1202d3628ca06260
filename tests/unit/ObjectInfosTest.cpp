// TVEKObjectInfos on real widgets, the runtime's exceptions and objects in
// destruction; VarRecToText on every kind, in a German locale so that the
// decimal separator is a comma.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <QDialog>
#include <QGroupBox>
#include <QLocale>
#include <QPushButton>
#include <QVariant>

#include "base/Conversions.h"
#include "base/Exceptions.h"
#include "diag/U_VEK_Global.h"
#include "runtime/Application.h"

// Test classes, outside any namespace: their names appear in the texts.
class TfmMain : public QDialog {
  Q_OBJECT
 public:
  TfmMain() {
    setObjectName("fmMain");
    auto* box = new QGroupBox(this);
    box->setObjectName("gbProducts");
    btnNext = new QPushButton("Next", box);
    btnNext->setObjectName("btnNext");
  }
  // The argument list a traced handler would pass.
  std::vector<TTypedValue> TraceArguments() { return {42, std::string("abc"), this}; }
  QPushButton* btnNext;
};

// A window class without a meta-object of its own, as programs write them.
class TfmPlain : public QWidget {};

struct TTag {};
// Several bases: the first one is the parent, polymorphic or not.
class EFirstIsTag : public TTag, public EConvertError {
 public:
  EFirstIsTag() : EConvertError("tagged") {}
};
class EVirtualBase : public virtual Exception {
 public:
  EVirtualBase() : Exception("virtual") {}
};
struct IListener {
  virtual ~IListener() = default;
  virtual void Notify() = 0;
};
// A component seen through a base that is no QObject.
class TListenerComponent : public QObject, public IListener {
  Q_OBJECT
 public:
  void Notify() override {}
};

// A library-style component that describes itself and its children while it
// is destroyed.
class TDyingForm : public QWidget {
  Q_OBJECT
 public:
  static inline std::string SeenInDestructor;
  ~TDyingForm() override {
    MarkBeingDestroyed(this);
    SeenInDestructor = TVEKObjectInfos::DescribeObject(this);
  }
};
// Records its own description from its destructor, which runs while its
// owner is already gone down to a base class.
class TWatchingChild : public QObject {
 public:
  explicit TWatchingChild(QObject* Owner, std::string* Seen) : QObject(Owner), FSeen(Seen) { setObjectName("watcher"); }
  ~TWatchingChild() override {
    TVEKObjectInfos infos;
    infos.Analyze(this);
    *FSeen = infos.Summary + " | " + infos.Owners;
  }

 private:
  std::string* FSeen;
};

namespace {

class TAppEnvironment : public ::testing::Environment {
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Numbers in the user's locale: a German one writes "1,5".
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    static int argc = 1;
    static char arg0[] = "ObjectInfosTest";
    static char* argv[] = {arg0, nullptr};
    new TApplication(argc, argv);
  }
  void TearDown() override { delete Application; }
};
[[maybe_unused]] ::testing::Environment* const Env = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

const std::string NA = "<N/A>";
const std::string NoneSummary = "<N/A>: <N/A> ( <N/A> )";

// The five texts besides Summary, in one string for whole comparisons.
std::string Fields(const TVEKObjectInfos& I) {
  return I.ObjectName + " | " + I.ObjectClass + " | " + I.ParentClass + " | " + I.Hierarchy + " | " + I.Owners;
}

// ---------------------------------------------------------------------------
// TVEKObjectInfos

TEST(ObjectInfos, NoneLeavesEveryFieldNotApplicable) {
  TVEKObjectInfos infos;
  EXPECT_EQ("<N/A> | <N/A> | <N/A> | <N/A> | <N/A>", Fields(infos));
  EXPECT_EQ(NA, infos.Summary);
  infos.Analyze(nullptr);
  EXPECT_TRUE(infos.Instance.IsNone());
  EXPECT_EQ("<N/A> | <N/A> | <N/A> | <N/A> | <N/A>", Fields(infos));
  EXPECT_EQ(NoneSummary, infos.Summary);
  EXPECT_EQ(NoneSummary, TVEKObjectInfos::DescribeObject(static_cast<QObject*>(nullptr)));
  EXPECT_EQ(NoneSummary, TVEKObjectInfos::DescribeObject(static_cast<const std::exception*>(nullptr)));
}

TEST(ObjectInfos, ButtonOnAWindowWithItsOwners) {
  TfmMain form;
  form.show();
  TVEKObjectInfos infos;
  infos.Analyze(form.btnNext);
  EXPECT_EQ(form.btnNext, infos.Instance.Component);
  EXPECT_EQ(
      "btnNext | QPushButton | QAbstractButton | QPushButton > QAbstractButton > QWidget > QObject"
      " | gbProducts: QGroupBox ( QWidget ) -> fmMain: TfmMain ( QDialog )",
      Fields(infos));
  EXPECT_EQ("btnNext: QPushButton ( QAbstractButton )", infos.Summary);

  // The window has no owner; a class of our own heads its chain.
  infos.Analyze(form);
  EXPECT_EQ("fmMain | TfmMain | QDialog | TfmMain > QDialog > QWidget > QObject | <N/A>", Fields(infos));
  EXPECT_EQ("fmMain: TfmMain ( QDialog )", TVEKObjectInfos::DescribeObject(&form));

  infos.Analyze(Application);
  EXPECT_EQ("TApplication > QApplication > QGuiApplication > QCoreApplication > QObject", infos.Hierarchy);
}

TEST(ObjectInfos, AClassWithoutQObjectMacroIsNamedByItsTypeThenItsMetaClasses) {
  TfmPlain form;
  form.setObjectName("fmPlain");
  auto* button = new QPushButton(&form);
  button->setObjectName("btnGo");
  TVEKObjectInfos infos;
  infos.Analyze(&form);
  EXPECT_EQ("fmPlain | TfmPlain | QWidget | TfmPlain > QWidget > QObject | <N/A>", Fields(infos));
  infos.Analyze(button);
  EXPECT_EQ("fmPlain: TfmPlain ( QWidget )", infos.Owners);
}

TEST(ObjectInfos, RootClassAndEmptyNames) {
  QObject top;  // the root class, and a nameless owner
  QObject holder(&top);
  holder.setObjectName("holder");
  QObject nameless(&holder);
  TVEKObjectInfos infos;
  infos.Analyze(&top);
  EXPECT_EQ("<Unknown> | QObject | <N/A> | <N/A> | <N/A>", Fields(infos));
  EXPECT_EQ("<Unknown>: QObject ( <N/A> )", infos.Summary);
  infos.Analyze(&nameless);
  EXPECT_EQ("<Unknown> | QObject | <N/A> | <N/A> | holder: QObject ( <N/A> ) -> : QObject ( <N/A> )", Fields(infos));
}

TEST(ObjectInfos, ExceptionsFromTheirTypeInformation) {
  struct TRow {
    TVEKObjectRef Obj;
    std::string Expected;  // ObjectClass | ParentClass | Hierarchy
  };
  const EConvertError convert("'x' is not a valid integer value");
  const EAbort abort;
  const EInOutError io("disk gone", 5);
  const Exception plain("plain");
  const std::exception root;
  const std::runtime_error runtime("std");
  const EFirstIsTag tagged;
  const EVirtualBase virtualBase;
  const Exception& seenAsBase = convert;
  const TRow rows[] = {
      {convert, "EConvertError | Exception | EConvertError > Exception > std::exception"},
      {&seenAsBase, "EConvertError | Exception | EConvertError > Exception > std::exception"},
      {abort, "EAbort | Exception | EAbort > Exception > std::exception"},
      {io, "EInOutError | Exception | EInOutError > Exception > std::exception"},
      {plain, "Exception | std::exception | Exception > std::exception"},
      {root, "std::exception | <N/A> | <N/A>"},
      {runtime, "std::runtime_error | std::exception | std::runtime_error > std::exception"},
      {tagged, "EFirstIsTag | TTag | EFirstIsTag > TTag"},
      {virtualBase, "EVirtualBase | Exception | EVirtualBase > Exception > std::exception"},
  };
  TVEKObjectInfos infos;
  for (const TRow& row : rows) {
    infos.Analyze(row.Obj);
    EXPECT_EQ(row.Expected, infos.ObjectClass + " | " + infos.ParentClass + " | " + infos.Hierarchy);
    EXPECT_EQ("<N/A> | <N/A>", infos.ObjectName + " | " + infos.Owners) << row.Expected;
  }

  // As the report meets it: caught through the runtime's base class.
  try {
    StrToInt("x");
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    infos.Analyze(e);
    EXPECT_EQ(&e, infos.Instance.Object);
    EXPECT_EQ("<N/A>: EConvertError ( Exception )", infos.Summary);
  }
}

TEST(ObjectInfos, ComponentSeenThroughAnotherBase) {
  QObject owner;
  owner.setObjectName("owner");
  auto* listener = new TListenerComponent;
  listener->setParent(&owner);
  listener->setObjectName("lstWatch");
  const IListener* seen = listener;
  TVEKObjectInfos infos;
  infos.Analyze(seen);
  EXPECT_EQ(listener, infos.Instance.Component);
  EXPECT_EQ("lstWatch | TListenerComponent | QObject | TListenerComponent > QObject | owner: QObject ( <N/A> )",
            Fields(infos));
}

TEST(ObjectInfos, SecondAnalyzeKeepsNothingOfTheFirst) {
  TfmMain form;
  TVEKObjectInfos infos;
  infos.Analyze(form.btnNext);
  infos.Analyze(EAbort());
  EXPECT_EQ("<N/A> | EAbort | Exception | EAbort > Exception > std::exception | <N/A>", Fields(infos));
  infos.Analyze(&form);
  infos.Analyze(std::exception());
  EXPECT_EQ("<N/A> | std::exception | <N/A> | <N/A> | <N/A>", Fields(infos));
  infos.Analyze(nullptr);
  EXPECT_EQ("<N/A> | <N/A> | <N/A> | <N/A> | <N/A>", Fields(infos));
  EXPECT_EQ(NoneSummary, infos.Summary);
}

TEST(ObjectInfos, ObjectsBeingDestroyed) {
  // In its own destructor, marked as the library's classes do.
  auto* form = new TDyingForm;
  form->setObjectName("fmDying");
  // A child goes while its owner is in QWidget's destructor, and a button
  // is described from its destroyed() signal.
  std::string seenByChild;
  new TWatchingChild(form, &seenByChild);
  auto* button = new QPushButton(form);
  button->setObjectName("btnGone");
  std::string seenOnSignal;
  QObject::connect(button, &QObject::destroyed, [&seenOnSignal](QObject* obj) {
    TVEKObjectInfos infos;
    infos.Analyze(obj);
    seenOnSignal = infos.ObjectName + " | " + infos.Owners;
  });
  delete form;
  EXPECT_EQ("fmDying: TDyingForm ( QWidget )", TDyingForm::SeenInDestructor);
  EXPECT_EQ("watcher: TWatchingChild ( QObject ) | fmDying: QWidget ( QObject )", seenByChild);
  EXPECT_EQ("btnGone | fmDying: QWidget ( QObject )", seenOnSignal);
}

// Goes while the application object is destroyed and describes it then.
class TAppWatcher : public QObject {
 public:
  using QObject::QObject;
  ~TAppWatcher() override { std::fputs(("[" + TVEKObjectInfos::DescribeObject(parent()) + "]").c_str(), stderr); }
};

TEST(ObjectInfos, ApplicationBeingDestroyed) {
  EXPECT_EXIT(
      {
        Application->setObjectName("app");
        new TAppWatcher(Application);
        delete Application;
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "\\[app: QObject \\( <N/A> \\)\\]");
}

// ---------------------------------------------------------------------------
// VarRecToText

TEST(VarRecToText, EveryKind) {
  ASSERT_EQ(",", QLocale::system().decimalPoint().toStdString()) << "the test needs a German locale";
  TfmMain form;
  QPushButton* noButton = nullptr;
  const char* noText = nullptr;
  const char16_t* noWide = nullptr;
  const QMetaObject* noClass = nullptr;
  char writable[] = "buffer";
  int number = 7;
  enum TColor : std::uint8_t { clRed = 3 };
  struct TRow {
    TTypedValue Value;
    TValueKind Kind;
    std::string Text;
  };
  const TRow rows[] = {
      {42, vkInteger, "42"},
      {static_cast<short>(-5), vkInteger, "-5"},
      {static_cast<std::uint8_t>(200), vkInteger, "200"},
      {clRed, vkInteger, "3"},
      {true, vkBoolean, "True"},
      {false, vkBoolean, "False"},
      {'x', vkChar, "'x'"},
      {1.5, vkFloat, "1,5"},
      {-2.25L, vkFloat, "-2,25"},
      {0.5f, vkFloat, "0,5"},
      {1.0 / 3, vkFloat, "0,333333333333333"},
      {1234567.0, vkFloat, "1234567"},
      {1e20, vkFloat, "1e+20"},
      {TShortString("short"), vkShortString, "'short'"},
      {reinterpret_cast<void*>(0x1234abcd), vkPointer, "0x000000001234ABCD"},
      {nullptr, vkPointer, "0x0000000000000000"},
      {"hello", vkCharPtr, "'hello'"},
      {writable, vkCharPtr, "'buffer'"},
      {noText, vkCharPtr, "NULL"},
      {form.btnNext, vkObject, "btnNext: QPushButton ( QAbstractButton )"},
      {noButton, vkObject, "NULL"},
      {&QPushButton::staticMetaObject, vkClass, "CLASS of QPushButton"},
      {TfmMain::staticMetaObject, vkClass, "CLASS of TfmMain"},
      {typeid(EConvertError), vkClass, "CLASS of EConvertError"},
      {noClass, vkClass, "NULL"},
      {u'\u00e9', vkWideChar, "'\u00e9'"},
      {u"h\u00e9llo", vkWideCharPtr, "'h\u00e9llo'"},
      {noWide, vkWideCharPtr, "NULL"},
      {std::string("abc"), vkString, "'abc'"},
      {std::string_view("view"), vkString, "'view'"},
      {TCurrency::FromScaled(125000), vkCurrency, "12,5"},
      {TCurrency::FromScaled(1234560000), vkCurrency, "123456"},
      {TCurrency::FromScaled(-1), vkCurrency, "-0,0001"},
      {TCurrency::FromScaled(std::numeric_limits<std::int64_t>::min()), vkCurrency, "-922337203685477,5808"},
      {QVariant(5), vkVariant, "VARIANT"},
      {TInterfaceRef(static_cast<const IListener*>(nullptr)), vkInterface, "INTERFACE"},
      {std::u16string(u"Gr\u00f6\u00dfe \U0001F600"), vkWideString, "'Gr\u00f6\u00dfe \U0001F600'"},
      {QString("Qt text"), vkWideString, "'Qt text'"},
      {std::int64_t{-9000000000}, vkInt64, "-9000000000"},
      {4000000000u, vkInt64, "4000000000"},
      {123456789012LL, vkInt64, "123456789012"},
  };
  for (const TRow& row : rows) {
    EXPECT_EQ(row.Kind, row.Value.Kind()) << row.Text;
    EXPECT_EQ(row.Text, VarRecToText(row.Value));
  }
  // Any other pointer: the full width of a 64-bit address.
  EXPECT_EQ(vkPointer, TTypedValue(&number).Kind());
  EXPECT_THAT(VarRecToText(&number), ::testing::MatchesRegex("0x[0-9A-F]{16}"));

  // The list a traced procedure writes: an integer, a text and itself.
  std::vector<TValueKind> kinds;
  std::string texts;
  for (const TTypedValue& v : form.TraceArguments()) {
    kinds.push_back(v.Kind());
    texts += VarRecToText(v) + " , ";
  }
  EXPECT_EQ((std::vector<TValueKind>{vkInteger, vkString, vkObject}), kinds);
  EXPECT_EQ("42 , 'abc' , fmMain: TfmMain ( QDialog ) , ", texts);
}

TEST(VarRecToText, QuotingDoublesSingleQuotes) {
  const std::string longText(300, 'a');
  const std::string rows[][2] = {
      {VarRecToText('\''), "''''"},
      {VarRecToText(std::string()), "''"},
      {VarRecToText(u""), "''"},
      {VarRecToText(std::string("it's")), "'it''s'"},
      {VarRecToText("''"), "''''''"},
      {VarRecToText(u"l'\u00e9t\u00e9"), "'l''\u00e9t\u00e9'"},
      {VarRecToText(QString("'")), "''''"},
      {VarRecToText(u'\''), "''''"},
      {VarRecToText(u'\xD800'), "'\uFFFD'"},  // half a surrogate pair is no character
      {VarRecToText(u"a\xDC00"
                    u"z"),
       "'a\uFFFDz'"},
      {VarRecToText(TShortString("don't")), "'don''t'"},
      {VarRecToText(TShortString(longText)), "'" + longText.substr(0, 255) + "'"},
  };
  for (const auto& row : rows) EXPECT_EQ(row[1], row[0]);
}

}  // namespace

#include "ObjectInfosTest.moc"
