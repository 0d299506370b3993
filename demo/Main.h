// The demo program's main window: connects to an SMSC over SEMA, sets up the
// session, submits messages and logs everything that happens.
#pragma once

#include "About.h"
#include "EventLog.h"
#include "xcGarvelSEMA.h"
#include "xcUnicodeCtrls.h"

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace garvel::demo {

class TLogMemo;

/// The main window, X11 class "TfmMain": one SEMA component driven by hand.
///
/// Every button works in every state; the component's result says when an
/// operation is not allowed. A field that does not convert (a port, TON or
/// NPI that is not a number, a port outside 0..65535, an empty address) is
/// reported in a message box before anything is sent or logged. Connect,
/// InitializeSession and SubmitMessage block the window until they return
/// (Connect at most the component's ConnectTimeOut). Received messages,
/// status reports and the disconnect arrive through the library's
/// notification queue, which the window pumps from FLTK's loop, also while
/// the About box or a message box is open.
///
/// Main (FLTK) thread only. Destroying the window destroys the component
/// first (joining its threads, raising no event).
class TfmMain : public Fl_Double_Window {
public:
  /// About is shown by "About..."; it must outlive the window.
  explicit TfmMain(TfmAbout& About);
  ~TfmMain() override;

  // Controls, in tab order.
  Fl_Button* btnConnect;
  Fl_Button* btnDisconnect;
  Fl_Button* btnInitialize;
  Fl_Button* btnSubmit;
  Fl_Input* ebHost;
  Fl_Input* ebPort;
  Fl_Input* ebOriginator;
  Fl_Input* ebTON;
  Fl_Input* ebNPI;
  Fl_Input* ebDestination;
  vcl::TxcUnicodeMemo* memoSubmit;
  Fl_Input* ebUDH;
  Fl_Choice* cbEncoding;
  Fl_Check_Button* cbStatusReport;
  Fl_Check_Button* cbDirectDisplay;
  TLogMemo* memoLog;
  Fl_Button* btnAbout;
  // Labels and decoration.
  Fl_Box* Label1;
  Fl_Box* Label2;
  Fl_Box* Label3;
  Fl_Box* Label4;
  Fl_Box* Label5;
  Fl_Box* Label6;
  Fl_Box* Label7;
  Fl_Box* Label8;
  Fl_Box* Label9;
  Fl_Box* Label17;
  Fl_Box* imgBackground;
  TClickableBox* imgLogo;
  Fl_Box* Bevel1;
  Fl_Box* Shape1;
  Fl_Box* Shape2;
  Fl_Box* Shape3;

  /// memoLog as a widget, and the lines it shows, in order.
  Fl_Widget* LogControl() const;
  std::vector<std::string> LogLines() const;

  sema::TxcGarvelSEMA& xcGarvelSEMA1() { return *FSEMA; }

  // Actions; each reports a failure in a message box and logs nothing.
  void btnConnectClick();
  void btnDisconnectClick();
  void btnInitializeClick();
  void btnSubmitClick();
  void btnAboutClick();
  void imgLogoClick();

  /// Shows Text in a modal message box. Replaceable for callers that
  /// collect the messages in another way.
  std::function<void(const std::string& Text)> ShowMessage;

  /// Runs Action; an exception it throws becomes a message box.
  void Run(void (TfmMain::*Action)());

private:
  void FormCreate();
  void ProcessNotifications();
  static void WindowCallback(Fl_Widget* Widget, void* Data);
  static void NotifyCallback(int Fd, void* Data);

  TfmAbout& FAbout;
  std::unique_ptr<TEventLog> FEventLog;
  std::unique_ptr<sema::TxcGarvelSEMA> FSEMA;
  int FNotifyFd = -1;
};

/// The encoding of cbEncoding's item Index: 1 8-bit, 2 UCS-2, any other
/// (none selected too) 7-bit.
TxcEncodingType EncodingOfIndex(int Index);

/// StrToInt: a whole decimal number, optionally signed, nothing else.
/// Throws EConvertError ("'abc' is not a valid integer value").
int StrToInt(const std::string& Text);
/// A TCP port 0..65535 from its decimal text; EConvertError otherwise.
int StrToPort(const std::string& Text);

/// What relaydemo's command line asks for: the address and port that
/// pre-fill the window (both empty: keep the defaults).
struct TDemoArgs {
  std::string Host;
  std::string Port;
};
/// relaydemo [HOST PORT]. Throws std::invalid_argument with a usage text for
/// anything else.
TDemoArgs ParseDemoArgs(int Argc, const char* const* Argv);

} // namespace garvel::demo
