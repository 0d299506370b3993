#include "Main.h"

#include "SimFixture.h"
#include "XTestDriver.h"

#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace garvel::demo {
namespace {

using garvel::testing::Pump;
using garvel::testing::TSimulator;
using garvel::testing::TXTestDriver;
using garvel::testing::TypeText;
using garvel::testing::WaitFor;

std::vector<std::string> FltkWarnings;

void RecordWarning(const char* Format, ...) {
  FltkWarnings.push_back(Format);
}

// Widget labels of the windows other than ours that are open (message boxes).
std::vector<std::string> OtherWindowTexts(const Fl_Window* Main, const Fl_Window* About) {
  std::vector<std::string> texts;
  for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) {
    if (w == Main || w == About)
      continue;
    for (int i = 0; i < w->children(); ++i)
      if (w->child(i)->label())
        texts.push_back(w->child(i)->label());
  }
  return texts;
}

// Runs Steps from FLTK's loop shortly: the way to act while a modal box
// runs its own loop inside a button's callback.
void RunSoon(std::function<void()> Steps) {
  Fl::add_timeout(
      0.05,
      [](void* Data) {
        std::unique_ptr<std::function<void()>> steps(static_cast<std::function<void()>*>(Data));
        (*steps)();
      },
      new std::function<void()>(std::move(Steps)));
}

class RelayDemoTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Fl::warning = RecordWarning;
    Fl::error = RecordWarning;
  }

  void SetUp() override {
    FltkWarnings.clear();
    FAbout = std::make_unique<TfmAbout>();
    FMain = std::make_unique<TfmMain>(*FAbout);
    FMain->show();
    FDriver = std::make_unique<TXTestDriver>();
    ASSERT_TRUE(FDriver->WaitViewable(*FMain));
    FDriver->Focus(*FMain);
  }

  void TearDown() override {
    FMain.reset();
    FAbout.reset();
    Pump(50);
    FDriver.reset();
    EXPECT_EQ(FltkWarnings, std::vector<std::string>());
  }

  TfmMain& M() { return *FMain; }
  std::vector<std::string> Log() { return FMain->LogLines(); }
  bool LogHas(const std::string& Line) {
    const auto lines = Log();
    return std::find(lines.begin(), lines.end(), Line) != lines.end();
  }
  int LogCount(const std::string& Line) {
    const auto lines = Log();
    return static_cast<int>(std::count(lines.begin(), lines.end(), Line));
  }
  // Clicks Button and waits until the log holds Line.
  bool ClickAndWaitFor(Fl_Widget& Button, const std::string& Line) {
    FDriver->Click(Button);
    return WaitFor([&] { return LogHas(Line); }, 20000);
  }
  // Replaces the text of Edit by clicking into it, selecting all and typing.
  void Retype(Fl_Input_& Edit, const std::u32string& Text) {
    FDriver->Click(Edit);
    ASSERT_TRUE(WaitFor([&] { return Fl::focus() == &Edit; }));
    Edit.value("");
    ASSERT_TRUE(TypeText(*FDriver, Edit, Text));
  }
  void ConnectTo(TSimulator& Sim) {
    M().ebHost->value("127.0.0.1");
    Retype(*M().ebPort, [&] {
      std::u32string port;
      for (char c : std::to_string(Sim.Port()))
        port += static_cast<char32_t>(c);
      return port;
    }());
    // Connect empties the log first.
    const std::vector<std::string> connected = {">>> Connecting (this may take a while).",
                                                ">>> Connected"};
    FDriver->Click(*M().btnConnect);
    ASSERT_TRUE(WaitFor([&] { return Log() == connected; }, 20000)) << Log().size();
  }
  void Initialize(const char* Originator) {
    M().ebOriginator->value(Originator);
    ASSERT_TRUE(ClickAndWaitFor(*M().btnInitialize, ">>> Initialized"));
  }
  // Clicks Button, expects a message box holding Text, closes it with
  // Escape, and checks that the log did not change.
  void ExpectMessageBox(Fl_Widget& Button, const std::string& Text) {
    const auto before = Log();
    std::vector<std::string> seen;
    bool done = false;
    // The box runs its own loop inside the click's callback.
    RunSoon([&] {
      WaitFor([&] {
        seen = OtherWindowTexts(FMain.get(), FAbout.get());
        return !seen.empty();
      });
      // Pumping may change the list of windows: take it first.
      std::vector<Fl_Window*> boxes;
      for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w))
        if (w != FMain.get() && w != FAbout.get())
          boxes.push_back(w);
      for (Fl_Window* w : boxes)
        if (FDriver->WaitViewable(*w))
          FDriver->Focus(*w);
      FDriver->Key(garvel::testing::kEscapeKey);
      for (Fl_Window* w : boxes)
        CloseWithin(*w);
      done = true;
    });
    FDriver->Click(Button);
    ASSERT_TRUE(WaitFor([&] { return done; }));
    EXPECT_NE(std::find(seen.begin(), seen.end(), Text), seen.end()) << Text;
    ASSERT_TRUE(WaitFor([&] { return OtherWindowTexts(FMain.get(), FAbout.get()).empty(); }));
    EXPECT_EQ(Log(), before);
    EXPECT_TRUE(FMain->shown());
    FDriver->Focus(*FMain);
  }

  // Waits for a modal Window to close; a failure, then hides it, so that
  // the test goes on instead of hanging in the window's loop.
  static void CloseWithin(Fl_Window& Window) {
    if (!WaitFor([&] { return !Window.shown(); })) {
      ADD_FAILURE() << "a modal window stayed open";
      Window.hide();
    }
  }

  void RunWhileAboutIsOpen(TSimulator& sim) {

    sim::TSimMessage mo;
    mo.Destination = "1234";
    mo.Originator = "4917000002";
    mo.Encoding = etUCS2Text;
    mo.Text = u"Ответ 😀";
    ASSERT_EQ(sim->Deliver(mo), sim::prSent);
    ASSERT_TRUE(WaitFor([&] { return LogHas("       SMText: Ответ 😀"); }));
    EXPECT_TRUE(LogHas("<<< Message received"));
    EXPECT_TRUE(LogHas("       Originator: 4917000002"));
    EXPECT_TRUE(LogHas("       Encoding: etUCS2Text"));

    sim::TSimStatusReport report;
    report.MessageId = "77";
    report.Destination = "4917000003";
    report.Originator = "1234";
    report.Status = 2;
    ASSERT_EQ(sim->SendStatusReport(report), sim::prSent);
    ASSERT_TRUE(WaitFor([&] { return LogHas("<<< Status report received"); }));
    EXPECT_TRUE(LogHas("       Destination: 4917000003"));
    EXPECT_TRUE(FAbout->shown());
  }

  std::unique_ptr<TfmAbout> FAbout;
  std::unique_ptr<TfmMain> FMain;
  std::unique_ptr<TXTestDriver> FDriver;
};

TEST_F(RelayDemoTest, WindowsStartWithTheirCaptionsDefaultsAndPlaces) {
  EXPECT_STREQ(M().label(), "GarvelSEMA sample");
  EXPECT_EQ(M().w(), 520);
  EXPECT_EQ(M().h(), 480);
  EXPECT_EQ(FDriver->WindowClass(M()), "TfmMain");
  EXPECT_STREQ(FAbout->xclass(), "TfmAbout");
  EXPECT_STREQ(FAbout->label(), "About GarvelSEMA sample");
  EXPECT_EQ(FAbout->w(), 339);
  EXPECT_EQ(FAbout->h(), 314);

  struct Control {
    Fl_Widget* Widget;
    const char* Caption;
    int X, Y, W, H;
  };
  const Control controls[] = {
      {M().btnConnect, "Connect", 436, 8, 69, 23},
      {M().btnDisconnect, "Disconnect", 436, 40, 69, 23},
      {M().btnInitialize, "Initialize", 436, 84, 69, 23},
      {M().btnSubmit, "Submit", 436, 152, 69, 23},
      {M().ebHost, nullptr, 216, 8, 117, 21},
      {M().ebPort, nullptr, 376, 8, 41, 21},
      {M().ebOriginator, nullptr, 216, 84, 201, 21},
      {M().ebTON, nullptr, 216, 108, 77, 21},
      {M().ebNPI, nullptr, 336, 108, 81, 21},
      {M().ebDestination, nullptr, 216, 152, 201, 21},
      {M().memoSubmit, nullptr, 216, 176, 201, 65},
      {M().ebUDH, nullptr, 216, 244, 201, 21},
      {M().cbEncoding, nullptr, 216, 268, 201, 21},
      {M().cbStatusReport, "Request status report for the message", 216, 300, 209, 17},
      {M().cbDirectDisplay, "Direct display (Flash SMS)", 216, 316, 209, 17},
      {M().LogControl(), nullptr, 136, 364, 373, 101},
      {M().btnAbout, "About...", 436, 310, 69, 23},
      {FAbout->btnOK, "OK", 256, 276, 69, 23},
      {FAbout->lblURL, kWebAddress, 72, 240, 121, 14},
  };
  for (const Control& c : controls) {
    SCOPED_TRACE(c.Caption ? c.Caption : "");
    if (c.Caption) {
      EXPECT_STREQ(c.Widget->label(), c.Caption);
    }
    EXPECT_EQ(c.Widget->x(), c.X);
    EXPECT_EQ(c.Widget->y(), c.Y);
    EXPECT_EQ(c.Widget->w(), c.W);
    EXPECT_EQ(c.Widget->h(), c.H);
  }
  const std::pair<Fl_Box*, const char*> labels[] = {
      {M().Label1, "SMSC address:"}, {M().Label2, "Port:"}, {M().Label3, "Originator:"},
      {M().Label4, "TON:"},          {M().Label5, "NPI:"},  {M().Label6, "Destination:"},
      {M().Label7, "Message:"},      {M().Label8, "UDH:"},  {M().Label9, "Encoding:"},
      {M().Label17, "Event log:"}};
  for (const auto& [label, caption] : labels)
    EXPECT_STREQ(label->label(), caption);

  EXPECT_STREQ(M().ebHost->value(), "0.0.0.0");
  EXPECT_STREQ(M().ebPort->value(), "0");
  EXPECT_STREQ(M().ebOriginator->value(), "");
  EXPECT_STREQ(M().ebTON->value(), "1");
  EXPECT_STREQ(M().ebNPI->value(), "1");
  EXPECT_EQ(M().cbEncoding->value(), 0);
  ASSERT_EQ(M().cbEncoding->size(), 4); // three items and the end mark
  EXPECT_STREQ(M().cbEncoding->text(0), "Normal - 7 bit encoded text");
  EXPECT_STREQ(M().cbEncoding->text(1), "Data - 8 bit encoded data");
  EXPECT_STREQ(M().cbEncoding->text(2), "Unicode - UCS2 encoded text");
  EXPECT_EQ(M().cbStatusReport->value(), 1);
  EXPECT_EQ(M().cbDirectDisplay->value(), 0);
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(EncodingOfIndex(-1), et7BitText);
}

TEST_F(RelayDemoTest, TabVisitsEveryControlInTabOrder) {
  Fl_Widget* const order[] = {M().btnConnect,    M().btnDisconnect,  M().btnInitialize,
                              M().btnSubmit,     M().ebHost,         M().ebPort,
                              M().ebOriginator,  M().ebTON,          M().ebNPI,
                              M().ebDestination, M().memoSubmit,     M().ebUDH,
                              M().cbEncoding,    M().cbStatusReport, M().cbDirectDisplay,
                              M().LogControl(),  M().btnAbout};
  FDriver->Click(*M().ebHost);
  ASSERT_TRUE(WaitFor([&] { return Fl::focus() == M().ebHost; }));
  // Forward from ebHost (4) through 16 and round to 4 again.
  for (int step = 1; step <= 17; ++step) {
    Fl_Widget* expected = order[(4 + step) % 17];
    FDriver->Key(garvel::testing::kTabKey);
    ASSERT_TRUE(WaitFor([&] { return Fl::focus() == expected; })) << "tab step " << step;
  }
  // And back with Shift+Tab.
  for (int step = 1; step <= 17; ++step) {
    Fl_Widget* expected = order[(4 + 17 - step) % 17];
    FDriver->Key(garvel::testing::kTabKey, true);
    ASSERT_TRUE(WaitFor([&] { return Fl::focus() == expected; })) << "back tab step " << step;
  }
  // Tab passed through the memo without inserting anything.
  EXPECT_EQ(M().memoSubmit->size(), 0);
}

TEST_F(RelayDemoTest, SubmitsInEachEncodingWithTheOptionsChosen) {
  sim::TSimConfig config;
  config.StatusReportDelayMs = 100;
  TSimulator sim("sema", config);
  ConnectTo(sim);
  Initialize("1234");
  M().ebDestination->value("4917000001");

  // 7-bit with a status report (the default options).
  Retype(*M().memoSubmit, U"Hello");
  ASSERT_TRUE(ClickAndWaitFor(*M().btnSubmit, ">>> Message submited"));
  ASSERT_TRUE(WaitFor([&] { return sim->CountSubmits() >= 1; }));
  // The report the simulator sends of its own accord is logged.
  ASSERT_TRUE(WaitFor([&] { return LogHas("<<< Status report received"); }));
  EXPECT_TRUE(LogHas("       Destination: 4917000001"));
  EXPECT_TRUE(LogHas("       SMStatus: 0"));

  // 8-bit data, no options.
  M().cbEncoding->value(1);
  FDriver->Click(*M().cbStatusReport);
  ASSERT_TRUE(WaitFor([&] { return M().cbStatusReport->value() == 0; }));
  Retype(*M().memoSubmit, U"C0FFEE");
  FDriver->Click(*M().btnSubmit);
  ASSERT_TRUE(WaitFor([&] { return sim->CountSubmits() >= 2; }));

  // UCS-2 typed as Cyrillic and an emoji, as a flash message.
  M().cbEncoding->value(2);
  FDriver->Click(*M().cbDirectDisplay);
  ASSERT_TRUE(WaitFor([&] { return M().cbDirectDisplay->value() == 1; }));
  Retype(*M().memoSubmit, U"Привет 😀");
  FDriver->Click(*M().btnSubmit);
  ASSERT_TRUE(WaitFor([&] { return sim->CountSubmits() >= 3; }));
  ASSERT_TRUE(WaitFor([&] { return LogCount(">>> Message submited") == 3; }));

  const auto submits = sim->Submits();
  ASSERT_EQ(submits.size(), 3u);
  EXPECT_EQ(submits[0].Encoding, et7BitText);
  EXPECT_EQ(submits[0].Text, u"Hello");
  EXPECT_EQ(submits[0].Destination, "4917000001");
  EXPECT_TRUE(submits[0].StatusReportRequested);
  EXPECT_FALSE(submits[0].DirectDisplay);
  EXPECT_EQ(submits[1].Encoding, et8BitHexadecimal);
  EXPECT_EQ(submits[1].Text, u"C0FFEE");
  EXPECT_FALSE(submits[1].StatusReportRequested);
  EXPECT_FALSE(submits[1].DirectDisplay);
  EXPECT_EQ(submits[2].Encoding, etUCS2Text);
  EXPECT_EQ(submits[2].Text, u"Привет 😀");
  EXPECT_FALSE(submits[2].StatusReportRequested);
  EXPECT_TRUE(submits[2].DirectDisplay);
  EXPECT_TRUE(LogHas("       MessageID: " + submits[2].MessageId));
}

TEST_F(RelayDemoTest, IncomingMessagesAndReportsAreLoggedWhileTheAboutBoxIsOpen) {
  TSimulator sim("sema");
  ConnectTo(sim);
  Initialize("1234");

  // The About box runs its own loop inside the click's callback: the steps
  // below run from it.
  bool done = false;
  RunSoon([&] {
    if (FDriver->WaitViewable(*FAbout))
      RunWhileAboutIsOpen(sim);
    // Escape closes the About box (OK is also its cancel button), not the
    // program; Escape on the main window does nothing (below).
    FDriver->Focus(*FAbout);
    FDriver->Key(garvel::testing::kEscapeKey);
    CloseWithin(*FAbout);
    done = true;
  });
  FDriver->Click(*M().btnAbout);
  ASSERT_TRUE(WaitFor([&] { return done && !FAbout->shown(); }));
  EXPECT_EQ(FAbout->ModalResult(), mrOk);
  FDriver->Focus(*FMain);
  FDriver->Key(garvel::testing::kEscapeKey);
  Pump(300);
  EXPECT_TRUE(FMain->shown());

  // The box opens again and its OK button closes it.
  done = false;
  RunSoon([&] {
    if (FDriver->WaitViewable(*FAbout))
      FDriver->Click(*FAbout->btnOK);
    CloseWithin(*FAbout);
    done = true;
  });
  FDriver->Click(*M().btnAbout);
  ASSERT_TRUE(WaitFor([&] { return done && !FAbout->shown(); }));
  EXPECT_EQ(FAbout->ModalResult(), mrOk);
}

TEST_F(RelayDemoTest, DisconnectLogsOneEntryWithReasonZero) {
  // Not connected: nothing happens and nothing is logged.
  FDriver->Click(*M().btnDisconnect);
  Pump(300);
  EXPECT_TRUE(Log().empty());

  TSimulator sim("sema");
  ConnectTo(sim);
  ASSERT_TRUE(ClickAndWaitFor(*M().btnDisconnect, ">>> Disconnected. Reason: 0"));
  Pump(500);
  EXPECT_EQ(LogCount(">>> Disconnected. Reason: 0"), 1);
  ASSERT_TRUE(WaitFor([&] { return sim->SessionCount() == 0; }));

  // Connect again clears the log first.
  ConnectTo(sim);
}

TEST_F(RelayDemoTest, FieldsThatDoNotConvertShowAMessageAndLogNothing) {
  TSimulator sim("sema");
  ConnectTo(sim); // the log holds entries that must stay

  M().ebPort->value("abc");
  ExpectMessageBox(*M().btnConnect, "'abc' is not a valid port number (0 to 65535)");
  // A port beyond 65535 is not cut down to another port.
  M().ebPort->value("70000");
  ExpectMessageBox(*M().btnConnect, "'70000' is not a valid port number (0 to 65535)");
  M().ebPort->value("-1");
  ExpectMessageBox(*M().btnConnect, "'-1' is not a valid port number (0 to 65535)");
  M().ebPort->value(std::to_string(sim.Port()).c_str());
  M().ebHost->value("");
  ExpectMessageBox(*M().btnConnect, "Enter the SMSC address.");

  M().ebTON->value("x1");
  ExpectMessageBox(*M().btnInitialize, "'x1' is not a valid integer value");
  ExpectMessageBox(*M().btnSubmit, "'x1' is not a valid integer value");
  M().ebTON->value("1");
  M().ebNPI->value("");
  ExpectMessageBox(*M().btnInitialize, "'' is not a valid integer value");
  M().ebNPI->value("99999999999");
  ExpectMessageBox(*M().btnSubmit, "'99999999999' is not a valid integer value");

  // The window still works: TON 257 goes to the component as 1, 300 as 44,
  // which SEMA cannot carry.
  M().ebNPI->value("1");
  M().ebOriginator->value("1234");
  M().ebTON->value("300");
  ASSERT_TRUE(ClickAndWaitFor(*M().btnInitialize, ">>> Initialization failed. Error: -4"));
  M().ebTON->value("257");
  ASSERT_TRUE(ClickAndWaitFor(*M().btnInitialize, ">>> Initialized"));
}

TEST_F(RelayDemoTest, ConversionsAndCommandLine) {
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("-12"), -12);
  EXPECT_EQ(StrToInt("+12"), 12);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  for (const char* bad : {"", " 1", "1 ", "+", "-", "+-1", "0x10", "2147483648", "1.0"})
    EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
  EXPECT_EQ(StrToPort("65535"), 65535);
  EXPECT_EQ(StrToPort("0"), 0);
  EXPECT_THROW(StrToPort("65536"), EConvertError);

  const char* none[] = {"relaydemo"};
  EXPECT_EQ(ParseDemoArgs(1, none).Host, "");
  const char* both[] = {"relaydemo", "smsc.example", "5000"};
  const TDemoArgs args = ParseDemoArgs(3, both);
  EXPECT_EQ(args.Host, "smsc.example");
  EXPECT_EQ(args.Port, "5000");
  EXPECT_THROW(ParseDemoArgs(2, both), std::invalid_argument);
}

} // namespace
} // namespace garvel::demo
