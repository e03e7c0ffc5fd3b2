#include "qt/Main.h"

#include "qt/FormStyle.h"
#include "qt/Progress.h"
#include "qt/QtHooks.h"
#include "qt/WindowHints.h"
#include "runtime/ProgramPath.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <algorithm>

// The design the two front ends share.
using namespace main_window;

namespace {
// How long the first show waits for the window manager to tell its frame.
constexpr std::chrono::milliseconds kFrameExtentsWait{500};

// A refused copy quits when the event loop first takes a message.
MainWindowSetup WithQuitRequest(MainWindowSetup setup) {
  if (!setup.RequestQuit)
    setup.RequestQuit = [] {
      QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                Qt::QueuedConnection);
    };
  return setup;
}

void Place(QWidget *control, const ControlBox &box) {
  control->setGeometry(box.Left, box.Top, box.Width, box.Height);
}
} // namespace

TMainForm *MainForm = nullptr;

QString ApplicationTitle() {
  return QString::fromStdString(ApplicationTitleFor(Utf8FromPath(ProgramFilePath().filename())));
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
      TMainWindowFlow(WithQuitRequest(environment)) {
  setObjectName(QStringLiteral("MainForm"));
  setFont(SansSerifFont(11));
  setFixedSize(kClientWidth, kClientHeight);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  KeepMotifHints(this, MainWindowHints());

  bRS232 = new QPushButton(QString::fromUtf8(kPortButtonCaption), this);
  bRS232->setObjectName(QStringLiteral("bRS232"));
  Place(bRS232, kPortButtonBox);
  connect(bRS232, &QPushButton::clicked, this, [this] { RunHandler([this] { bRS232Click(); }); });

  bOpen = new QPushButton(QString::fromUtf8(kOpenButtonCaption), this);
  bOpen->setObjectName(QStringLiteral("bOpen"));
  Place(bOpen, kOpenButtonBox);
  connect(bOpen, &QPushButton::clicked, this, [this] { RunHandler([this] { bOpenClick(); }); });

  bLoad = new QPushButton(QString::fromUtf8(kLoadButtonCaption), this);
  bLoad->setObjectName(QStringLiteral("bLoad"));
  Place(bLoad, kLoadButtonBox);
  connect(bLoad, &QPushButton::clicked, this, [this] { RunHandler([this] { bLoadClick(); }); });

  setTabOrder(bRS232, bOpen);
  setTabOrder(bOpen, bLoad);

  // Qt reads the pattern from the parentheses of the name.
  OpenDialog1.Filters = {QString::fromUtf8(kImageFilterName)};
  OpenDialog1.Native = environment.NativeFileDialog;

  lFN = new QLabel(this);
  lFN->setObjectName(QStringLiteral("lFN"));
  Place(lFN, kFileLabelBox);
  lFN->setWordWrap(true);
  lFN->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lFN->setTextFormat(Qt::PlainText);

  Label1 = new QLabel(
      QString::fromUtf8(kWarningTitle) + QLatin1Char('\n') + QString::fromUtf8(kWarningText), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Place(Label1, kWarningBox);
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

void TMainForm::UseDotDecimalSeparator() {
  QLocale::setDefault(QLocale::c());
}

void TMainForm::SetCaption(const std::string &text) {
  setWindowTitle(QString::fromStdString(text));
}

void TMainForm::ShowFileName(const std::string &path) {
  lFN->setText(QString::fromStdString(path));
}

void TMainForm::SetFileDialogFolder(const std::filesystem::path &folder) {
  OpenDialog1.InitialDir = QString::fromStdString(Utf8FromPath(folder));
}

std::optional<std::string> TMainForm::ChooseImageFile() {
  if (!OpenDialog1.Execute(this))
    return std::nullopt;
  return OpenDialog1.FileName.toStdString();
}

std::unique_ptr<ProgressView> TMainForm::CreateProgress() {
  return std::make_unique<TProgressForm>();
}

void TMainForm::ShowFailure(const std::string &text) {
  ShowApplicationError(ApplicationTitle(), text);
}

void TMainForm::CloseNow() {
  close();
}

void TMainForm::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  WindowShown();
}

void TMainForm::closeEvent(QCloseEvent *event) {
  if (HandleClose())
    event->accept();
  else
    event->ignore();
}

void TMainForm::ShowCentred(int state) {
  CentreOnScreen();
  if (state != 0)
    SetWindowState(state);
}

void TMainForm::CentreOnScreen() {
  QScreen *screen = this->screen();
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->geometry();
  // Not mapped yet, the window has no frame: the window manager tells the one
  // it will draw, and the window is placed by its client area meanwhile.
  if (frameGeometry().size() != size()) {
    move(CentredFrameOrigin(area, frameGeometry().size()));
    return;
  }
  if (const auto extents = RequestFrameExtents(this, kFrameExtentsWait)) {
    move(CentredFrameOrigin(area, size().grownBy(*extents)) +
         QPoint(extents->left(), extents->top()));
    return;
  }
  // A window manager that does not answer the request (fluxbox) still tells
  // the frame once it has drawn it: centre the client now, the frame then.
  move(CentredFrameOrigin(area, size()));
  if (QGuiApplication::platformName() == QLatin1String("xcb"))
    CentreOnceFramed(area);
}

QPoint TMainForm::CentredFrameOrigin(const QRect &area, const QSize &frame) {
  return area.topLeft() + QPoint(std::max(0, (area.width() - frame.width()) / 2),
                                 std::max(0, (area.height() - frame.height()) / 2));
}

void TMainForm::CentreOnceFramed(const QRect &area) {
  auto *poll = new QTimer(this);
  const auto deadline = std::chrono::steady_clock::now() + kFrameExtentsWait;
  connect(poll, &QTimer::timeout, this, [this, poll, area, deadline] {
    const auto extents = FrameExtents(this);
    if (!extents && std::chrono::steady_clock::now() < deadline)
      return;
    poll->deleteLater();
    if (!extents)
      return;
    const QPoint client = CentredFrameOrigin(area, size().grownBy(*extents)) +
                          QPoint(extents->left(), extents->top());
    // Shifted by what the client lacks: whether Qt's move places the frame
    // or the client depends on whether Qt has learnt the frame yet.
    move(pos() + (client - geometry().topLeft()));
  });
  poll->start(10);
}

int TMainForm::WindowState() const {
  const Qt::WindowStates state = windowState();
  if (state & Qt::WindowMinimized)
    return 1;
  if (state & (Qt::WindowMaximized | Qt::WindowFullScreen))
    return 2;
  return 0;
}

void TMainForm::SetWindowState(int state) {
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
