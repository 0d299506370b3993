// The demo program's main window.
#include "Main.h"

#include "CodePage.h"
#include "Icons.h"
#include "LogMemo.h"
#include "Messages.h"
#include "SysUtils.h"

#include <FL/Fl.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>

#include <charconv>
#include <exception>
#include <stdexcept>

namespace garvel::demo {

int StrToInt(const std::string& Text) {
  const char* first = Text.data();
  const char* last = first + Text.size();
  // from_chars takes a minus sign but no plus sign.
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-')
    ++first;
  int value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (Text.empty() || error != std::errc() || end != last)
    throw EConvertError("'" + Text + "' is not a valid integer value");
  return value;
}

int StrToPort(const std::string& Text) {
  int port = -1;
  try {
    port = StrToInt(Text);
  } catch (const EConvertError&) {
  }
  if (port < 0 || port > 65535)
    throw EConvertError("'" + Text + "' is not a valid port number (0 to 65535)");
  return port;
}

TDemoArgs ParseDemoArgs(int Argc, const char* const* Argv) {
  if (Argc == 1)
    return {};
  if (Argc == 3)
    return {Argv[1], Argv[2]};
  throw std::invalid_argument("usage: relaydemo [HOST PORT]\n"
                              "Starts the SEMA demo, with HOST and PORT as the SMSC's address.");
}

// --- TfmMain ----------------------------------------------------------------

namespace {

// The decorative strip on the left: a vertical gradient.
class TStrip : public Fl_Box {
public:
  using Fl_Box::Fl_Box;
  void draw() override {
    for (int i = 0; i < h(); ++i) {
      const auto shade = static_cast<uchar>(0x30 + 0x70 * i / h());
      fl_color(shade / 3, shade / 2, shade);
      fl_xyline(x(), y() + i, x() + w() - 1);
    }
  }
};

template <class T> T* Sized(T* Widget) {
  Widget->labelsize(11);
  return Widget;
}

Fl_Input* Edit(int X, int Y, int W, int H, const char* Text) {
  auto* edit = Sized(new Fl_Input(X, Y, W, H));
  edit->textsize(11);
  edit->value(Text);
  return edit;
}

Fl_Box* Label(int X, int Y, int W, const char* Caption) {
  auto* label = Sized(new Fl_Box(X, Y, W, 14, Caption));
  label->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  return label;
}

Fl_Box* Line(int Y) {
  auto* line = new Fl_Box(132, Y, 380, 1);
  line->box(FL_FLAT_BOX);
  line->color(FL_DARK3);
  return line;
}

} // namespace

template <void (TfmMain::*Action)()> static void Invoke(Fl_Widget*, void* Data) {
  static_cast<TfmMain*>(Data)->Run(Action);
}

TfmMain::TfmMain(TfmAbout& About) : Fl_Double_Window(520, 480, "GarvelSEMA sample"), FAbout(About) {
  xclass("TfmMain");
  size_range(520, 480, 520, 480);
  icon(ProgramIcon());
  callback(WindowCallback, this);
  ShowMessage = [](const std::string& Text) {
    fl_message_title("GarvelSEMA sample");
    fl_alert("%s", Text.c_str());
  };

  // Children in tab order: FLTK's Tab moves through them in this order.
  btnConnect = Sized(new Fl_Button(436, 8, 69, 23, "Connect"));
  btnDisconnect = Sized(new Fl_Button(436, 40, 69, 23, "Disconnect"));
  btnInitialize = Sized(new Fl_Button(436, 84, 69, 23, "Initialize"));
  btnSubmit = Sized(new Fl_Button(436, 152, 69, 23, "Submit"));
  ebHost = Edit(216, 8, 117, 21, "0.0.0.0");
  ebPort = Edit(376, 8, 41, 21, "0");
  ebOriginator = Edit(216, 84, 201, 21, "");
  ebTON = Edit(216, 108, 77, 21, "1");
  ebNPI = Edit(336, 108, 81, 21, "1");
  ebDestination = Edit(216, 152, 201, 21, "");
  memoSubmit = Sized(new vcl::TxcUnicodeMemo(216, 176, 201, 65));
  memoSubmit->textsize(11);
  ebUDH = Edit(216, 244, 201, 21, "");
  cbEncoding = Sized(new Fl_Choice(216, 268, 201, 21));
  cbEncoding->textsize(11);
  // Added item by item: a menu path would read '/' and '&' in the texts.
  for (const char* item :
       {"Normal - 7 bit encoded text", "Data - 8 bit encoded data", "Unicode - UCS2 encoded text"})
    cbEncoding->add(item, 0, nullptr, nullptr, 0);
  cbStatusReport =
      Sized(new Fl_Check_Button(216, 300, 209, 17, "Request status report for the message"));
  cbStatusReport->value(1);
  cbDirectDisplay = Sized(new Fl_Check_Button(216, 316, 209, 17, "Direct display (Flash SMS)"));
  memoLog = new TLogMemo(136, 364, 373, 101);
  btnAbout = Sized(new Fl_Button(436, 310, 69, 23, "About..."));

  Label1 = Label(136, 12, 78, "SMSC address:");
  Label2 = Label(340, 12, 34, "Port:");
  Label3 = Label(136, 88, 78, "Originator:");
  Label4 = Label(136, 112, 78, "TON:");
  Label5 = Label(304, 112, 30, "NPI:");
  Label6 = Label(136, 156, 78, "Destination:");
  Label7 = Label(136, 180, 78, "Message:");
  Label8 = Label(136, 248, 78, "UDH:");
  Label9 = Label(136, 272, 78, "Encoding:");
  Label17 = Label(136, 348, 78, "Event log:");
  imgBackground = new TStrip(0, -120, 96, 600);
  imgLogo = new TClickableBox(12, 12, 72, 30, "Garvel");
  imgLogo->box(FL_FLAT_BOX);
  imgLogo->color(fl_rgb_color(0x20, 0x40, 0x80));
  imgLogo->labelcolor(FL_WHITE);
  imgLogo->labelfont(FL_HELVETICA_BOLD);
  imgLogo->labelsize(16);
  imgLogo->OnClick = [this] { Run(&TfmMain::imgLogoClick); };
  Bevel1 = new Fl_Box(96, 0, 2, 480);
  Bevel1->box(FL_THIN_DOWN_FRAME);
  Shape1 = Line(72);
  Shape2 = Line(140);
  Shape3 = Line(340);
  end();

  btnConnect->callback(Invoke<&TfmMain::btnConnectClick>, this);
  btnDisconnect->callback(Invoke<&TfmMain::btnDisconnectClick>, this);
  btnInitialize->callback(Invoke<&TfmMain::btnInitializeClick>, this);
  btnSubmit->callback(Invoke<&TfmMain::btnSubmitClick>, this);
  btnAbout->callback(Invoke<&TfmMain::btnAboutClick>, this);

  position((Fl::w() - w()) / 2, (Fl::h() - h()) / 2);
  FormCreate();
}

TfmMain::~TfmMain() {
  if (FNotifyFd >= 0)
    Fl::remove_fd(FNotifyFd);
  // The component goes first: its threads end and nothing it posted runs.
  FSEMA.reset();
  FEventLog.reset();
}

Fl_Widget* TfmMain::LogControl() const {
  return memoLog;
}

std::vector<std::string> TfmMain::LogLines() const {
  return memoLog->Lines();
}

void TfmMain::FormCreate() {
  FEventLog =
      std::make_unique<TEventLog>([this](const std::string& Line) { memoLog->AddLine(Line); });
  cbEncoding->value(0);

  FSEMA = std::make_unique<sema::TxcGarvelSEMA>(nullptr);
  FSEMA->OnDisconnected = [this](TObject*, int Reason) { FEventLog->LogDisconnected(Reason); };
  FSEMA->OnMessageReceived = [this](TObject*, const std::string& Destination, uint8_t, uint8_t,
                                    const std::string& Originator, uint8_t, uint8_t,
                                    const std::u16string& SMText, TxcEncodingType Encoding,
                                    const std::string& UserDataHeader, TDateTime TimeStamp) {
    // The log shows UTF-8: every character a handset sends stays intact.
    FEventLog->LogMessageReceived(AnsiToUtf8(Destination), AnsiToUtf8(Originator), TimeStamp,
                                  AnsiToUtf8(UserDataHeader), Encoding, WideToUtf8(SMText));
  };
  FSEMA->OnStatusReportReceived = [this](TObject*, const std::string& MessageID,
                                         TDateTime MessageTimeStamp, const std::string& Destination,
                                         const std::string& Originator, uint8_t, uint8_t,
                                         uint8_t SMStatus, int FailureReason, TDateTime TimeStamp) {
    FEventLog->LogStatusReport(AnsiToUtf8(MessageID), AnsiToUtf8(Destination), MessageTimeStamp,
                               AnsiToUtf8(Originator), SMStatus, FailureReason, TimeStamp);
  };

  // The component's events come through the notification queue; FLTK's
  // loop pumps it whenever its descriptor is readable.
  FNotifyFd = Application()->NotifyFd();
  Fl::add_fd(FNotifyFd, FL_READ, NotifyCallback, this);
}

void TfmMain::Run(void (TfmMain::*Action)()) {
  // An exception escaping an FLTK callback would end the program.
  try {
    (this->*Action)();
  } catch (const std::exception& E) {
    ShowMessage(E.what());
  } catch (...) {
    ShowMessage("An unknown error occurred.");
  }
}

void TfmMain::NotifyCallback(int, void* Data) {
  auto* self = static_cast<TfmMain*>(Data);
  self->Run(&TfmMain::ProcessNotifications);
}

void TfmMain::ProcessNotifications() {
  Application()->ProcessMessages();
}

void TfmMain::WindowCallback(Fl_Widget*, void* Data) {
  // Escape would close the main window and end the program: it does nothing
  // here. Closing through the window manager ends the program.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape)
    return;
  static_cast<TfmMain*>(Data)->hide();
}

void TfmMain::btnConnectClick() {
  // Everything is checked before the log is touched.
  const std::string host = ebHost->value();
  if (host.empty())
    throw EConvertError("Enter the SMSC address.");
  const int port = StrToPort(ebPort->value());
  memoLog->Clear();
  FEventLog->LogConnecting();
  // Connect blocks the window: show the entry before it starts.
  memoLog->redraw();
  Fl::flush();
  const int result = FSEMA->Connect(host, port);
  if (result != 0)
    FEventLog->LogConnectFailed(result);
  else
    FEventLog->LogConnected();
}

void TfmMain::btnDisconnectClick() {
  // The entry comes with OnDisconnected.
  FSEMA->Disconnect();
}

void TfmMain::btnInitializeClick() {
  const int npi = StrToInt(ebNPI->value());
  const int ton = StrToInt(ebTON->value());
  const std::string originator = Utf8ToAnsi(ebOriginator->value());
  const int result =
      FSEMA->InitializeSession(originator, static_cast<uint8_t>(ton), static_cast<uint8_t>(npi));
  if (result != 0)
    FEventLog->LogInitializeFailed(result);
  else
    FEventLog->LogInitialized();
}

TxcEncodingType EncodingOfIndex(int Index) {
  switch (Index) {
  case 1:
    return et8BitHexadecimal;
  case 2:
    return etUCS2Text;
  default:
    return et7BitText;
  }
}

void TfmMain::btnSubmitClick() {
  const TxcEncodingType encoding = EncodingOfIndex(cbEncoding->value());
  TxcSubmitOptionSet options;
  if (cbStatusReport->value())
    options << soRequestStatusReport;
  if (cbDirectDisplay->value())
    options << soDirectDisplay;
  const int ton = StrToInt(ebTON->value());
  const int npi = StrToInt(ebNPI->value());
  std::u16string text;
  memoSubmit->GetUnicodeText(text);
  const std::string udh = Utf8ToAnsi(ebUDH->value());
  const std::string originator = Utf8ToAnsi(ebOriginator->value());
  const std::string destination = Utf8ToAnsi(ebDestination->value());
  std::string messageID;
  TDateTime timeStamp = 0;
  const int result = FSEMA->SubmitMessage(destination, originator, static_cast<uint8_t>(ton),
                                          static_cast<uint8_t>(npi), text, encoding, udh, options,
                                          messageID, timeStamp);
  if (result != 0)
    FEventLog->LogSubmitFailed(result);
  else
    FEventLog->LogSubmitted(AnsiToUtf8(messageID), timeStamp);
}

void TfmMain::btnAboutClick() {
  FAbout.ShowModal();
}

void TfmMain::imgLogoClick() {
  OpenWebPage(kWebAddress);
}

} // namespace garvel::demo
