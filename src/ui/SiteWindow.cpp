#include "ui/SiteWindow.h"

#include <QAccessible>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>
#include <array>
#include <deque>
#include <exception>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/ModBusFrm.h"
#include "sites/EngineRegistry.h"

namespace qmb::ui {

namespace {

constexpr int kClientWidth = 464;
constexpr int kClientHeight = 524;
const QColor kLightOff(0x80, 0x00, 0x00);
const QColor kLightOn(0xFF, 0x00, 0x00);

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// What the user types into the raw command field is always upper case, caret kept.
class UpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    input = input.toUpper();
    return Acceptable;
  }
};

void Describe(QWidget* widget, const QString& name, const QString& hint = QString()) {
  if (!name.isEmpty()) widget->setAccessibleName(name);
  if (!hint.isEmpty()) {
    widget->setToolTip(hint);
    widget->setAccessibleDescription(hint);
  }
}

// A label that shows a value. It keeps no accessible name of its own, so assistive tools read
// the value it shows as its name (and hear when it changes).
QLabel* ValueLabel(const QString& objectName, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  return label;
}

// The caption of a value label, tied to it as its label, so that a screen reader says the two
// together ("Clients: 2"). Both must have the same parent: that is where the relation is looked
// up.
QLabel* CaptionOf(QLabel* value, const QString& text) {
  auto* caption = new QLabel(text, value->parentWidget());
  caption->setBuddy(value);
  return caption;
}

// Message boxes open window-modal and return at once: the caller (a click, a key, an assistive
// tool's action waiting for its reply) is never held until the box is answered.
void OpenMessageBox(QMessageBox::Icon icon, QWidget* parent, const QString& text) {
  auto* box = new QMessageBox(icon, parent ? parent->window()->windowTitle() : QString(), text,
                              QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void SetText(QLabel* label, const std::string& text) {
  const QString value = Q(text);
  if (label->text() != value) label->setText(value);
}

QFont LogFont() {
  QFont font(QStringLiteral("Terminal"));
  font.setStyleHint(QFont::TypeWriter);
  if (QFontInfo(font).family() != font.family())
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  return font;
}

}  // namespace

std::function<void(QWidget*, const QString&)> SiteWindow::ShowMessage = [](QWidget* parent,
                                                                           const QString& text) {
  OpenMessageBox(QMessageBox::Information, parent, text);
};
std::function<void(QWidget*, const QString&)> SiteWindow::ShowWarning = [](QWidget* parent,
                                                                           const QString& text) {
  OpenMessageBox(QMessageBox::Warning, parent, text);
};

struct SiteWindow::Controls {
  QLabel* clientCount;
  QCheckBox* block;
  QLabel *cmdAdd, *cmdFunc, *cmdData;
  QLabel *replyAdd, *replyFuncLabel, *replyFunc, *replyData;
  QPushButton* test;
  QLineEdit* cmdEdt;
  QPushButton* rawSend;
  QLabel *protocol, *port, *baud, *parity, *stopBits;
  QPlainTextEdit* log;
  QPushButton *connect, *disconnect, *send;
  QCheckBox* state;
  QLabel *message, *time;
  std::array<QFrame*, 5> lights;

  // The log lines on screen, so only new ones are appended.
  std::deque<std::string> shownLog;
  // The raw command last taken from or given to the model: the field is only overwritten when
  // the engine changed the model's text, never while the user types.
  std::string syncedCmd;
};

SiteWindow::SiteWindow(TModBusForm& engine, TMainForm& mainForm, QWidget* parent)
    : QWidget(parent), engine_(engine), mainForm_(mainForm), controls_(new Controls()) {
  Build();
  engine_.Model.OnChanged = [this] { ScheduleRender(); };
  Render();
  controls_->cmdEdt->setFocus();
}

SiteWindow::~SiteWindow() {
  if (!detached_) engine_.Model.OnChanged = nullptr;
  delete controls_;
}

QSize SiteWindow::sizeHint() const {
  return {kClientWidth, kClientHeight};
}

void SiteWindow::Build() {
  Controls& c = *controls_;
  setFixedSize(kClientWidth, kClientHeight);
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(2);

  // Tool bar.
  auto* toolBar = new QToolBar(this);
  const QString clientsHint = QStringLiteral("The Number of Clients Connected to this Site");
  c.clientCount = ValueLabel(QStringLiteral("ClientCountLbl"), toolBar);
  Describe(c.clientCount, QString(), clientsHint);
  auto* clientsCaption = CaptionOf(c.clientCount, QStringLiteral("Clients: "));
  Describe(clientsCaption, clientsCaption->text(), clientsHint);
  c.block = new QCheckBox(QStringLiteral("Block"), toolBar);
  c.block->setObjectName(QStringLiteral("BlockChk"));
  Describe(c.block, c.block->text(), QStringLiteral("Temporarily Block Clients Access to Site"));
  toolBar->addWidget(clientsCaption);
  toolBar->addWidget(c.clientCount);
  toolBar->addSeparator();
  toolBar->addWidget(c.block);
  root->addWidget(toolBar);

  auto body = new QVBoxLayout();
  body->setContentsMargins(4, 0, 4, 0);
  root->addLayout(body, 1);

  // "Command" group.
  auto* command = new QGroupBox(QStringLiteral("Command"), this);
  Describe(command, command->title());
  auto* commandGrid = new QGridLayout(command);
  c.cmdAdd = ValueLabel(QStringLiteral("CmdAddLbl"), command);
  c.cmdFunc = ValueLabel(QStringLiteral("CmdFuncLbl"), command);
  c.cmdData = ValueLabel(QStringLiteral("CmdDataLbl"), command);
  c.cmdData->setWordWrap(true);
  c.cmdData->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  c.cmdData->setFixedHeight(2 * c.cmdData->fontMetrics().lineSpacing());
  int row = 0;
  for (auto [caption, value] : {std::pair{"Address:", c.cmdAdd}, std::pair{"Function:", c.cmdFunc},
                                std::pair{"Data:", c.cmdData}}) {
    commandGrid->addWidget(CaptionOf(value, QString::fromLatin1(caption)), row, 0,
                           Qt::AlignLeft | Qt::AlignTop);
    commandGrid->addWidget(value, row++, 1);
  }
  commandGrid->setColumnStretch(1, 1);
  body->addWidget(command);

  // "Response" group, taking the height left over.
  auto* response = new QGroupBox(QStringLiteral("Response"), this);
  Describe(response, response->title());
  auto* responseGrid = new QGridLayout(response);
  c.replyAdd = ValueLabel(QStringLiteral("ReplyAddLbl"), response);
  c.replyFunc = ValueLabel(QStringLiteral("ReplyFuncLbl"), response);
  // The function's caption is itself a value: "Function:", or "Error:" for an exception.
  c.replyFuncLabel = ValueLabel(QStringLiteral("ReplyFuncLabelLbl"), response);
  c.replyFuncLabel->setBuddy(c.replyFunc);
  c.replyData = ValueLabel(QStringLiteral("ReplyDataLbl"), response);
  c.replyData->setWordWrap(true);
  c.replyData->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  c.replyData->setMinimumHeight(4 * c.replyData->fontMetrics().lineSpacing());
  responseGrid->addWidget(CaptionOf(c.replyAdd, QStringLiteral("Address:")), 0, 0);
  responseGrid->addWidget(c.replyAdd, 0, 1);
  responseGrid->addWidget(c.replyFuncLabel, 1, 0);
  responseGrid->addWidget(c.replyFunc, 1, 1);
  responseGrid->addWidget(CaptionOf(c.replyData, QStringLiteral("Data:")), 2, 0,
                          Qt::AlignLeft | Qt::AlignTop);
  responseGrid->addWidget(c.replyData, 2, 1);
  c.test = new QPushButton(QStringLiteral("Test"), response);
  c.test->setObjectName(QStringLiteral("TestBtn"));
  Describe(c.test, c.test->text());
  responseGrid->addWidget(c.test, 3, 1, Qt::AlignRight);
  responseGrid->setColumnStretch(1, 1);
  responseGrid->setRowStretch(2, 1);
  body->addWidget(response, 1);

  // Raw command entry on the left, the port panel on the right.
  auto* panel = new QHBoxLayout();
  auto* raw = new QVBoxLayout();
  auto* rawCaption = new QLabel(QStringLiteral("Raw Command"), this);
  c.cmdEdt = new QLineEdit(this);
  c.cmdEdt->setObjectName(QStringLiteral("CmdEdt"));
  c.cmdEdt->setValidator(new UpperCaseValidator(c.cmdEdt));
  Describe(c.cmdEdt, rawCaption->text());
  rawCaption->setBuddy(c.cmdEdt);
  c.rawSend = new QPushButton(QStringLiteral("Send"), this);
  c.rawSend->setObjectName(QStringLiteral("RawSendBtn"));
  Describe(c.rawSend, c.rawSend->text());
  auto* note = new QLabel(QStringLiteral("(':' and Checksum added)"), this);
  auto* sendRow = new QHBoxLayout();
  sendRow->addWidget(c.rawSend);
  sendRow->addWidget(note, 1);
  raw->addWidget(rawCaption);
  raw->addWidget(c.cmdEdt);
  raw->addLayout(sendRow);
  raw->addStretch(1);
  panel->addLayout(raw, 1);

  auto* portFrame = new QFrame(this);
  portFrame->setFrameShape(QFrame::StyledPanel);
  auto* portGrid = new QGridLayout(portFrame);
  portGrid->setVerticalSpacing(0);
  QFont bold = font();
  bold.setBold(true);
  row = 0;
  for (auto [caption, objectName, value] :
       {std::tuple{"Protocol:", "ProtocolLbl", &c.protocol},
        std::tuple{"Comport:", "PortLbl", &c.port}, std::tuple{"Baud:", "BaudLbl", &c.baud},
        std::tuple{"Parity:", "ParityLbl", &c.parity},
        std::tuple{"Stop Bits:", "StopBitsLbl", &c.stopBits}}) {
    const QString text = QString::fromLatin1(caption);
    *value = ValueLabel(QString::fromLatin1(objectName), portFrame);
    (*value)->setFont(bold);
    portGrid->addWidget(CaptionOf(*value, text), row, 0);
    portGrid->addWidget(*value, row++, 1);
  }
  panel->addWidget(portFrame);
  body->addLayout(panel);

  // The log and the test connection's controls.
  c.log = new QPlainTextEdit(this);
  c.log->setObjectName(QStringLiteral("LogMmo"));
  Describe(c.log, QStringLiteral("Log"));
  c.log->setReadOnly(true);
  c.log->setFont(LogFont());
  c.log->setLineWrapMode(QPlainTextEdit::NoWrap);
  c.log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  c.log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  c.log->setMaximumBlockCount(static_cast<int>(SiteWindowModel::kMaxLogLines));
  body->addWidget(c.log, 1);
  auto* buttons = new QHBoxLayout();
  c.connect = new QPushButton(QStringLiteral("Connect"), this);
  c.connect->setObjectName(QStringLiteral("ConnectBtn"));
  c.disconnect = new QPushButton(QStringLiteral("Disconnect"), this);
  c.disconnect->setObjectName(QStringLiteral("DisconnectBtn"));
  c.send = new QPushButton(QStringLiteral("Send"), this);
  c.send->setObjectName(QStringLiteral("TCPSendBtn"));
  c.state = new QCheckBox(QStringLiteral("State"), this);
  c.state->setObjectName(QStringLiteral("StateChk"));
  for (QAbstractButton* button :
       std::initializer_list<QAbstractButton*>{c.connect, c.disconnect, c.send, c.state}) {
    Describe(button, button->text());
    buttons->addWidget(button);
  }
  buttons->addStretch(1);
  body->addLayout(buttons);

  // Status bar: message, time, then the five line lights.
  auto* status = new QStatusBar(this);
  status->setSizeGripEnabled(false);
  c.message = ValueLabel(QStringLiteral("MessagePnl"), status);
  c.message->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  status->addWidget(c.message, 1);
  c.time = ValueLabel(QStringLiteral("TimePnl"), status);
  Describe(c.time, QString(),
           QStringLiteral("Displays the Current Time of Day of this Local Computer or the "
                          "Qor Panel if Connected"));
  status->addPermanentWidget(c.time);
  const std::array<std::array<const char*, 3>, 5> lights = {{
      {"Rx", "RxLight", "Flashes when Data is Received"},
      {"Tx", "TxLight", "Flashes when Data is Transmitted"},
      {"CD", "CDLight", "Shows the State of the \"Carrier Detect\" Line"},
      {"CS", "CSLight", "Shows the State of the \"Clear to Send\" Line"},
      {"DSR", "DSLight", "Shows the State of the \"Data Set Ready\" Line"},
  }};
  for (size_t i = 0; i < lights.size(); ++i) {
    const QString caption = QString::fromLatin1(lights[i][0]);
    const QString hint = QString::fromLatin1(lights[i][2]);
    auto* lightPanel = new QFrame(status);
    lightPanel->setObjectName(caption + QStringLiteral("Pnl"));
    Describe(lightPanel, caption, hint);
    auto* lightRow = new QHBoxLayout(lightPanel);
    lightRow->setContentsMargins(2, 0, 2, 0);
    lightRow->setSpacing(3);
    auto* light = new QFrame(lightPanel);
    light->setObjectName(QString::fromLatin1(lights[i][1]));
    Describe(light, caption, hint);
    light->setFrameShape(QFrame::Box);
    light->setFixedSize(10, 10);
    light->setAutoFillBackground(true);
    lightRow->addWidget(light);
    lightRow->addWidget(new QLabel(caption, lightPanel));
    status->addPermanentWidget(lightPanel);
    c.lights[i] = light;
  }
  root->addWidget(status);

  // Actions. The engine reads the raw command and the state box from the model.
  const auto takeCommand = [this] {
    controls_->syncedCmd = controls_->cmdEdt->text().toStdString();
    engine_.Model.CmdEdt = controls_->syncedCmd;
  };
  const auto send = [this] {
    Run([this] {
      engine_.Model.StateChk = controls_->state->isChecked();
      try {
        engine_.TCPSendBtnClick();
      } catch (const std::exception& e) {
        ShowWarning(this, QString::fromLocal8Bit(e.what()));
      }
    });
  };
  // Check boxes act on toggled, which every way of operating them emits (mouse, keyboard, an
  // assistive tool's Toggle action); clicked comes from the mouse and keyboard only. Toggles the
  // window makes itself while it renders the model are not the user's.
  connect(c.block, &QCheckBox::toggled, this, [this](bool checked) {
    if (!rendering_) Run([this, checked] { engine_.BlockChkClick(checked); });
  });
  connect(c.cmdEdt, &QLineEdit::returnPressed, this, [this, takeCommand] {
    Run([this, takeCommand] {
      takeCommand();
      engine_.CmdEdtKeyPress(13);
    });
  });
  connect(c.test, &QPushButton::clicked, this, [this, takeCommand] {
    Run([this, takeCommand] {
      takeCommand();
      engine_.TestBtnClick();
    });
  });
  connect(c.rawSend, &QPushButton::clicked, this, send);
  connect(c.send, &QPushButton::clicked, this, send);
  connect(c.connect, &QPushButton::clicked, this,
          [this] { Run([this] { engine_.ConnectBtnClick(); }); });
  connect(c.disconnect, &QPushButton::clicked, this,
          [this] { Run([this] { engine_.DisconnectBtnClick(); }); });
  connect(c.state, &QCheckBox::toggled, this, [this](bool checked) {
    if (!rendering_) Run([this, checked] { engine_.Model.StateChk = checked; });
  });
}

void SiteWindow::Run(const std::function<void()>& action) {
  if (detached_) return;
  action();
}

void SiteWindow::Detach() {
  if (detached_) return;
  engine_.Model.OnChanged = nullptr;
  detached_ = true;
  setEnabled(false);
}

void SiteWindow::ScheduleRender() {
  // A burst of changes (a log filling up, lights flashing) is drawn once per event-loop pass.
  if (renderPending_) return;
  renderPending_ = true;
  QTimer::singleShot(0, this, [this] { Render(); });
}

void SiteWindow::Render() {
  renderPending_ = false;
  if (detached_) return;
  Controls& c = *controls_;
  const SiteWindowModel& m = engine_.Model;
  const QScopedValueRollback<bool> rendering(rendering_, true);
  const QString caption = Q(m.Caption);
  if (windowTitle() != caption) setWindowTitle(caption);

  SetText(c.clientCount, m.ClientCountLbl);
  if (c.block->isChecked() != m.BlockChk) c.block->setChecked(m.BlockChk);
  SetText(c.cmdAdd, m.CmdAddLbl);
  SetText(c.cmdFunc, m.CmdFuncLbl);
  SetText(c.cmdData, m.CmdDataLbl);
  SetText(c.replyAdd, m.ReplyAddLbl);
  SetText(c.replyFuncLabel, m.ReplyFuncLabelLbl);
  QPalette funcPalette = palette();
  if (m.ReplyFuncLabelIsError) funcPalette.setColor(QPalette::WindowText, Qt::red);
  c.replyFuncLabel->setPalette(funcPalette);
  SetText(c.replyFunc, m.ReplyFuncLbl);
  SetText(c.replyData, m.ReplyDataLbl);

  if (m.CmdEdt != c.syncedCmd) {
    c.syncedCmd = m.CmdEdt;
    c.cmdEdt->setText(Q(m.CmdEdt));
  }
  SetText(c.protocol, m.ProtocolLbl);
  SetText(c.port, m.PortLbl);
  SetText(c.baud, m.BaudLbl);
  SetText(c.parity, m.ParityLbl);
  SetText(c.stopBits, m.StopBitsLbl);
  if (c.state->isChecked() != m.StateChk) c.state->setChecked(m.StateChk);

  SetText(c.message, m.MessagePnl);
  SetText(c.time, m.TimePnl);
  const std::array<const LightModel*, 5> lights = {&m.RxLight, &m.TxLight, &m.CDLight, &m.CSLight,
                                                   &m.DSLight};
  for (size_t i = 0; i < lights.size(); ++i) {
    const QColor color = lights[i]->lit ? kLightOn : kLightOff;
    if (c.lights[i]->palette().color(QPalette::Window) != color) {
      QPalette lightPalette = c.lights[i]->palette();
      lightPalette.setColor(QPalette::Window, color);
      c.lights[i]->setPalette(lightPalette);
    }
  }
  RenderLog();
}

void SiteWindow::RenderLog() {
  Controls& c = *controls_;
  const LogLines& lines = engine_.Model.LogMmo;
  std::deque<std::string>& shown = c.shownLog;
  // How many of the model's lines are already on screen: all of the shown ones when lines were
  // only added, fewer when the bounded log dropped its oldest lines meanwhile.
  size_t kept = 0;
  bool incremental = false;
  if (shown.empty()) {
    // Nothing on screen yet: set in one go below.
  } else if (lines.size() >= shown.size() && lines.front() == shown.front() &&
             lines[shown.size() - 1] == shown.back()) {
    kept = shown.size();
    incremental = true;
  } else if (lines.size() == SiteWindowModel::kMaxLogLines) {
    for (size_t dropped = 1; dropped < shown.size(); ++dropped) {
      const size_t overlap = shown.size() - dropped;
      if (overlap > lines.size()) continue;
      if (lines.front() == shown[dropped] && lines[overlap - 1] == shown.back() &&
          std::equal(lines.begin(), lines.begin() + static_cast<long>(overlap),
                     shown.begin() + static_cast<long>(dropped))) {
        shown.erase(shown.begin(), shown.begin() + static_cast<long>(dropped));
        kept = overlap;
        incremental = true;
        break;
      }
    }
  }
  if (!incremental) {
    // Cleared or replaced: rebuilt once.
    shown.assign(lines.begin(), lines.end());
    QStringList text;
    text.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines) text.append(Q(line));
    c.log->setPlainText(text.join(QLatin1Char('\n')));
    c.log->verticalScrollBar()->setValue(c.log->verticalScrollBar()->maximum());
    return;
  }
  // The document drops its oldest blocks itself (same bound as the model), and follows the end
  // only while the user has it scrolled there.
  for (size_t i = kept; i < lines.size(); ++i) {
    c.log->appendPlainText(Q(lines[i]));
    shown.push_back(lines[i]);
  }
}

void SiteWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (detached_) return;
  if (!engine_.CanClose()) {
    ShowMessage(this, QString::fromLatin1(TModBusForm::kCloseRefused));
    return;
  }
  // The window goes with its engine, once the main window hears it was destroyed.
  mainForm_.CloseSiteWindow(&engine_);
}

}  // namespace qmb::ui
