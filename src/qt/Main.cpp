#include "qt/Main.h"

#include "runtime/Exceptions.h"
#include "runtime/JustOne.h"
#include "runtime/ProgramPath.h"
#include "qt/QtHooks.h"
#include "link/AccessGate.h"
#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "qt/Progress.h"
#include "qt/FormStyle.h"
#include "qt/WindowHints.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>
#include <clocale>
#include <exception>

namespace {

const char *const kMainCaption = "Korvalen";
const char *const kPortButtonCaption = "Выбрать СОМ-порт"; // С, О, М are Cyrillic
const char *const kOpenButtonCaption = "Открыть файл прошивки";
const char *const kLoadButtonCaption = "Загрузить ";
const char *const kWarningText =
    "ВНИМАНИЕ!\nВнимательно проверьте соответствие версий Вашего устройства и загружаемого "
    "программного обеспечения. При их несовпадении устройство может выйти из строя.";
const char *const kImageFilter = "Файлы прошивок (*.rom)";

const char *const kCommonSection = "Common";
const char *const kFileNameKey = "FN";
const char *const kPlacementSection = "MainWindow";

constexpr int kClientWidth = 361;
constexpr int kClientHeight = 251;
constexpr int kWarningHeight = 75;
constexpr uint32_t kWorkingBaudRate = 19200;
constexpr uint8_t kLineMode = 2;
// How long the first show waits for the window manager to tell its frame.
constexpr std::chrono::milliseconds kFrameExtentsWait{500};

std::unique_ptr<TZor_RS> gLink;

} // namespace

TMainForm *MainForm = nullptr;

TZor_RS *Link() {
  return gLink.get();
}

void ReleaseLink() {
  gLink.reset();
}

QString ApplicationTitleFor(const std::string &programFileName) {
  QString name = QString::fromStdString(programFileName);
  const qsizetype dot = name.indexOf(QLatin1Char('.'));
  if (dot >= 0)
    name.truncate(dot);
  if (name.isEmpty())
    return name;
  // The first letter stays as the file name has it.
  return name.left(1) + name.mid(1).toLower();
}

QString ApplicationTitle() {
  return ApplicationTitleFor(ProgramFilePath().filename().string());
}

bool TOpenDialog::Execute(QWidget *parent) {
  QFileDialog dialog(parent, Title);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::DontUseNativeDialog, !Native);
  dialog.setNameFilters(Filters);
  if (!InitialDir.isEmpty())
    dialog.setDirectory(InitialDir);
  // A path remembered from the last choice opens the dialog in its folder.
  if (!FileName.isEmpty())
    dialog.selectFile(FileName);
  if (dialog.exec() != QDialog::Accepted)
    return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty())
    return false;
  FileName = chosen.front();
  return true;
}

TMainForm::TMainForm(MainFormEnvironment environment, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      Environment(std::move(environment)) {
  setObjectName(QStringLiteral("MainForm"));
  setFont(SansSerifFont(11));
  setFixedSize(kClientWidth, kClientHeight);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  KeepMotifHints(this, MainWindowHints());

  bRS232 = new QPushButton(QString::fromUtf8(kPortButtonCaption), this);
  bRS232->setObjectName(QStringLiteral("bRS232"));
  bRS232->setGeometry(24, 16, 321, 25);
  connect(bRS232, &QPushButton::clicked, this, [this] { RunHandler([this] { bRS232Click(); }); });

  bOpen = new QPushButton(QString::fromUtf8(kOpenButtonCaption), this);
  bOpen->setObjectName(QStringLiteral("bOpen"));
  bOpen->setGeometry(24, 56, 321, 25);
  connect(bOpen, &QPushButton::clicked, this, [this] { RunHandler([this] { bOpenClick(); }); });

  bLoad = new QPushButton(QString::fromUtf8(kLoadButtonCaption), this);
  bLoad->setObjectName(QStringLiteral("bLoad"));
  bLoad->setGeometry(24, 136, 321, 25);
  connect(bLoad, &QPushButton::clicked, this, [this] { RunHandler([this] { bLoadClick(); }); });

  setTabOrder(bRS232, bOpen);
  setTabOrder(bOpen, bLoad);

  // The guard checks at once; a refused copy quits when the event loop first
  // takes a message, after its first show.
  auto requestQuit = [this] {
    FQuitRequested = true;
    if (Environment.RequestQuit)
      Environment.RequestQuit();
    else
      QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                Qt::QueuedConnection);
  };
  if (Environment.GuardName.empty())
    JustOne1 = std::make_unique<TJustOne>(requestQuit);
  else
    JustOne1 =
        std::make_unique<TJustOne>(requestQuit, Environment.GuardName, Environment.GuardFolder);

  OpenDialog1.Filters = {QString::fromUtf8(kImageFilter)};
  OpenDialog1.Native = Environment.NativeFileDialog;

  lFN = new QLabel(this);
  lFN->setObjectName(QStringLiteral("lFN"));
  lFN->setGeometry(24, 88, 321, 41);
  lFN->setWordWrap(true);
  lFN->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lFN->setTextFormat(Qt::PlainText);

  Label1 = new QLabel(QString::fromUtf8(kWarningText), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setGeometry(0, kClientHeight - kWarningHeight, kClientWidth, kWarningHeight);
  Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label1->setWordWrap(true);
  Label1->setTextFormat(Qt::PlainText);
  // Its own role: children take the form's button-face role otherwise.
  Label1->setBackgroundRole(QPalette::Window);
  Label1->setAutoFillBackground(true);
  QPalette warning = Label1->palette();
  warning.setColor(QPalette::Window, QColor(0xFF, 0x00, 0xFF));
  Label1->setPalette(warning);

  MainForm = this;
}

TMainForm::~TMainForm() {
  if (MainForm == this)
    MainForm = nullptr;
}

std::filesystem::path TMainForm::ProgramFolder() const {
  return Environment.ProgramFolder.empty() ? ProgramDirectory() : Environment.ProgramFolder;
}

std::unique_ptr<TMIniFile> TMainForm::OpenSettings() const {
  if (Environment.SettingsPath.empty())
    return std::make_unique<TMIniFile>();
  return std::make_unique<TMIniFile>(Environment.SettingsPath);
}

void TMainForm::PrepareEnvironment() {
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
  std::filesystem::current_path(ProgramFolder());
}

void TMainForm::FormShow() {
  setWindowTitle(QString::fromUtf8(kMainCaption));
  PrepareEnvironment();
  // The old link (if any) goes first: it may hold the port the new one wants.
  gLink.reset();
  gLink = std::make_unique<TZor_RS>(nullptr, nullptr, Environment.Platform);
  gLink->SetLineMode(kLineMode);
  FileName.clear();
  {
    const std::unique_ptr<TMIniFile> settings = OpenSettings();
    gLink->LoadSettings(*settings);
    FileName = settings->ReadString(kCommonSection, kFileNameKey, FileName);
    settings->LoadPlacement(kPlacementSection, *this);
  }
  FSettingsRead = true;
  lFN->setText(QString::fromStdString(FileName));
  AccessGranted = true;
  OpenDialog1.InitialDir = QString::fromStdString(ProgramFolder().string());
  gLink->SetBaudRate(kWorkingBaudRate);
}

void TMainForm::FormClose() {
  // A copy the guard refused, and a window whose settings were never read,
  // write nothing: what is stored stays as it was.
  if (!JustOne1->FirstInstance() || FQuitRequested || !FSettingsRead || !gLink)
    return;
  PrepareEnvironment();
  const std::unique_ptr<TMIniFile> settings = OpenSettings();
  gLink->SaveSettings(*settings);
  settings->WriteString(kCommonSection, kFileNameKey, FileName);
  settings->SavePlacement(kPlacementSection, *this);
}

void TMainForm::bRS232Click() {
  if (gLink)
    gLink->ChoosePort(nullptr);
}

void TMainForm::bOpenClick() {
  if (!OpenDialog1.Execute(this))
    return;
  FileName = OpenDialog1.FileName.toStdString();
  lFN->setText(OpenDialog1.FileName);
}

void TMainForm::bLoadClick() {
  if (!gLink)
    return;
  LoadRequest request;
  request.FileName = FileName;
  request.CreateProgress = [] { return std::make_unique<TProgressForm>(); };
  request.ResetVector = &ResetVector;
  RunLoadSequence(*gLink, request);
}

void TMainForm::ShowFailure(const std::string &text) const {
  ShowApplicationError(ApplicationTitle(), text);
}

void TMainForm::RunHandler(const std::function<void()> &handler) {
  // A load pumps the event loop while it runs: a second press of any button
  // must neither start another run nor take the link from under this one.
  if (FRunning)
    return;
  FRunning = true;
  try {
    handler();
  } catch (const std::exception &error) {
    ShowFailure(error.what());
  } catch (...) {
    ShowFailure("Unknown error");
  }
  FRunning = false;
  if (FCloseAsked) {
    FCloseAsked = false;
    close();
  }
}

void TMainForm::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (FShown)
    return;
  FShown = true;
  FInFirstShow = true;
  FPendingState = 0;
  try {
    FormShow();
  } catch (const std::exception &error) {
    ShowFailure(error.what());
  } catch (...) {
    ShowFailure("Unknown error");
  }
  FInFirstShow = false;
  // Centred once, whatever Left and Top said; the state read does count.
  CentreOnScreenOnce();
  if (FPendingState != 0)
    SetWindowState(FPendingState);
}

void TMainForm::closeEvent(QCloseEvent *event) {
  if (FRunning) {
    // The run still uses the link and this window: close once it is over.
    FCloseAsked = true;
    event->ignore();
    return;
  }
  if (FShown) {
    FRunning = true;
    try {
      FormClose();
    } catch (const std::exception &error) {
      ShowFailure(error.what());
    } catch (...) {
      ShowFailure("Unknown error");
    }
    FRunning = false;
    FCloseAsked = false;
  }
  event->accept();
}

void TMainForm::CentreOnScreenOnce() {
  QScreen *screen = this->screen();
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->geometry();
  QSize frame = frameGeometry().size();
  // Not mapped yet, the window has no frame: the window manager tells the one
  // it will draw, and the window is placed by its client area meanwhile.
  QPoint clientOffset;
  if (frame == size()) {
    if (const auto extents = RequestFrameExtents(this, kFrameExtentsWait)) {
      frame = size().grownBy(*extents);
      clientOffset = QPoint(extents->left(), extents->top());
    }
  }
  const int left = std::max(0, (area.width() - frame.width()) / 2);
  const int top = std::max(0, (area.height() - frame.height()) / 2);
  move(area.left() + left + clientOffset.x(), area.top() + top + clientOffset.y());
}

int TMainForm::WindowState() const {
  if (FInFirstShow)
    return FPendingState;
  const Qt::WindowStates state = windowState();
  if (state & Qt::WindowMinimized)
    return 1;
  if (state & (Qt::WindowMaximized | Qt::WindowFullScreen))
    return 2;
  return 0;
}

void TMainForm::SetWindowState(int state) {
  if (state < 0 || state > 2)
    state = 0;
  if (FInFirstShow) {
    FPendingState = state;
    return;
  }
  Qt::WindowStates flags = windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
  if (state == 1)
    flags |= Qt::WindowMinimized;
  else if (state == 2)
    flags |= Qt::WindowMaximized;
  setWindowState(flags);
}

int TMainForm::Left() const {
  return frameGeometry().x();
}

void TMainForm::SetLeft(int value) {
  move(value, frameGeometry().y());
}

int TMainForm::Top() const {
  return frameGeometry().y();
}

void TMainForm::SetTop(int value) {
  move(frameGeometry().x(), value);
}

int TMainForm::Width() const {
  return frameGeometry().width();
}

// The border is fixed: the size stays as designed.
void TMainForm::SetWidth(int) {}

int TMainForm::Height() const {
  return frameGeometry().height();
}

void TMainForm::SetHeight(int) {}
