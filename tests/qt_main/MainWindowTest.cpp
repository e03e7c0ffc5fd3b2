// The main window driven as the operator drives it: real widgets on the
// offscreen platform, real settings files, and the virtual device on real
// pseudo-terminals behind a `ports` folder of the test's own.
#include "qt/ModalDriver.h"

#include "link/AccessGate.h"
#include "link/Zor_RS232.h"
#include "link/serial/PosixSerialPort.h"
#include "qt/Main.h"
#include "qt/Progress.h"
#include "qt/QtHooks.h"
#include "qt/WindowHints.h"
#include "qt/Zor_RS232_SetNum.h"
#include "sim/VirtualDevice.h"
#include "station/FileJournal.h"

#include <QComboBox>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAll(const fs::path &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// Runs `action` once a visible top-level widget of type T other than `besides`
// exists (from the event loop, so also inside a handler that pumps it). Gives
// up after a few seconds.
template <class T> void WhenShown(std::function<void(T *)> action, QWidget *besides = nullptr) {
  auto *timer = new QTimer(qApp);
  auto tries = std::make_shared<int>(0);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [=] {
    for (QWidget *widget : QApplication::topLevelWidgets()) {
      if (auto *shown = qobject_cast<T *>(widget);
          shown && shown != besides && shown->isVisible()) {
        timer->stop();
        timer->deleteLater();
        action(shown);
        return;
      }
    }
    if (++*tries > 500) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}

// Accepts or rejects a file dialog once its own event loop runs: it may still
// be in the middle of showing itself when the driver first sees it.
void Close(QFileDialog *dialog, bool accept) {
  QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject", Qt::QueuedConnection);
}

int VisibleProgressWindows() {
  int count = 0;
  for (QWidget *widget : QApplication::topLevelWidgets())
    if (qobject_cast<TProgressForm *>(widget) && widget->isVisible())
      ++count;
  return count;
}

// What the error or information box said, once closed with OK.
struct SeenBox {
  bool Shown = false;
  QString Title;
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  QString Owner; // the owning window's object name
};

// Closes the next message box with OK and records it in the answer. A watcher
// whose answer has been dropped leaves later boxes alone.
std::shared_ptr<SeenBox> AcceptNextBox() {
  auto seen = std::make_shared<SeenBox>();
  std::weak_ptr<SeenBox> watch = seen;
  WhenModal(
      [watch](QWidget *widget) {
        return !watch.expired() && qobject_cast<QMessageBox *>(widget) != nullptr;
      },
      [watch](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (const auto seen = watch.lock()) {
          seen->Shown = true;
          seen->Title = box->windowTitle();
          seen->Text = box->text();
          seen->Icon = box->icon();
          seen->Owner = box->parentWidget() ? box->parentWidget()->objectName() : QString();
        }
        box->accept();
      });
  return seen;
}

class MainWindow : public testing::Test {
protected:
  void SetUp() override {
    FHome = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "korvalen-main-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FFolder = fs::path(pattern);
    fs::create_directory(FFolder / "ports");
    FSettings = FFolder / "korvalen.ini";
    AccessGranted = false;
  }

  void TearDown() override {
    FForms.clear();
    ReleaseLink();
    FDevices.clear();
    fs::current_path(FHome);
    fs::remove_all(FFolder);
    AccessGranted = false;
  }

  MainFormEnvironment Environment() {
    MainFormEnvironment environment;
    environment.ProgramFolder = FFolder;
    environment.SettingsPath = FSettings;
    environment.Platform =
        std::make_shared<PosixSerialPlatform>(PortTable::FromFolder(FFolder / "ports"));
    environment.GuardName = "korvalen";
    environment.GuardFolder = FFolder;
    environment.RequestQuit = [this] { ++FQuitRequests; };
    environment.NativeFileDialog = false;
    return environment;
  }

  TMainForm &NewForm() {
    FForms.push_back(std::make_unique<TMainForm>(Environment()));
    return *FForms.back();
  }

  TMainForm &ShownForm() {
    TMainForm &form = NewForm();
    form.show();
    QCoreApplication::processEvents();
    return form;
  }

  sim::VirtualDevice &DeviceAt(const std::string &port, sim::DeviceOptions options = {}) {
    options.Echo = true;
    options.LinkPath = (FFolder / "ports" / port).string();
    FDevices.push_back(std::make_unique<sim::VirtualDevice>(options));
    FDevices.back()->Start();
    return *FDevices.back();
  }

  // An image of `pages` pages of random bytes and the trailer for device code
  // 97 and version mark 'e'.
  fs::path MakeImage(int pages) {
    std::mt19937 random(7);
    std::string bytes(static_cast<size_t>(pages) * 1536, '\0');
    for (char &byte : bytes)
      byte = static_cast<char>(random() & 0xFF);
    bytes += std::string("\x61\x65\x00", 3);
    const fs::path path = FFolder / "sample.rom";
    WriteAll(path, bytes);
    return path;
  }

  QRect CentredFrame(const TMainForm &form) const {
    const QRect screen = form.screen()->geometry();
    const QSize frame = form.frameGeometry().size();
    return QRect(QPoint(std::max(0, (screen.width() - frame.width()) / 2),
                        std::max(0, (screen.height() - frame.height()) / 2)),
                 frame);
  }

  TQtHooks FHooks;
  fs::path FHome;
  fs::path FFolder;
  fs::path FSettings;
  int FQuitRequests = 0;
  std::vector<std::unique_ptr<sim::VirtualDevice>> FDevices;
  std::vector<std::unique_ptr<TMainForm>> FForms;
};

// The widget that Tab moves the focus to next.
QWidget *NextTabStop(QWidget *widget) {
  QWidget *next = widget->nextInFocusChain();
  while (next != widget && !((next->focusPolicy() & Qt::TabFocus) && next->isEnabled()))
    next = next->nextInFocusChain();
  return next;
}

TEST_F(MainWindow, FormAsDesigned) {
  TMainForm &form = NewForm();
  EXPECT_EQ(MainForm, &form);
  EXPECT_EQ(form.objectName(), "MainForm");
  EXPECT_EQ(form.size(), QSize(361, 251));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(form.HasResizableBorder());
  EXPECT_EQ(KeptMotifHints(&form), MainWindowHints());
  EXPECT_EQ(form.font().pixelSize(), 11);

  EXPECT_EQ(form.bRS232->geometry(), QRect(24, 16, 321, 25));
  EXPECT_EQ(form.bOpen->geometry(), QRect(24, 56, 321, 25));
  EXPECT_EQ(form.lFN->geometry(), QRect(24, 88, 321, 41));
  EXPECT_EQ(form.bLoad->geometry(), QRect(24, 136, 321, 25));
  EXPECT_EQ(form.Label1->geometry(), QRect(0, 176, 361, 75));
  // С, О and М of the port button are Cyrillic letters.
  EXPECT_EQ(form.bRS232->text(), QString::fromUtf8("Выбрать \u0421\u041e\u041c-порт"));
  EXPECT_EQ(form.bOpen->text(), "Открыть файл прошивки");
  EXPECT_EQ(form.bLoad->text(), "Загрузить ");
  EXPECT_TRUE(form.lFN->wordWrap());
  EXPECT_TRUE(form.lFN->alignment() & Qt::AlignLeft);
  EXPECT_TRUE(form.Label1->wordWrap());
  EXPECT_TRUE(form.Label1->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(form.Label1->text(),
            "ВНИМАНИЕ!\nВнимательно проверьте соответствие версий Вашего устройства и "
            "загружаемого программного обеспечения. При их несовпадении устройство может "
            "выйти из строя.");
  // As drawn: fuchsia under the warning, the button face around the buttons.
  const QImage drawn = form.grab().toImage();
  EXPECT_EQ(drawn.pixelColor(3, 248), QColor(255, 0, 255));
  EXPECT_EQ(drawn.pixelColor(3, 3), form.palette().color(QPalette::Button));

  EXPECT_EQ(NextTabStop(form.bRS232), form.bOpen);
  EXPECT_EQ(NextTabStop(form.bOpen), form.bLoad);
  EXPECT_EQ(NextTabStop(form.bLoad), form.bRS232);

  // Nothing of the first show has happened yet.
  EXPECT_EQ(Link(), nullptr);
  EXPECT_FALSE(fs::exists(FSettings));
  EXPECT_EQ(form.OpenDialog1.Filters, QStringList{"Файлы прошивок (*.rom)"});
}

TEST_F(MainWindow, FirstStartCreatesSettingsAndWritesThemBackAtClose) {
  DeviceAt("COM2");
  TMainForm &form = ShownForm();

  EXPECT_EQ(form.windowTitle(), "Korvalen");
  EXPECT_EQ(ReadAll(FSettings), " \r\n");
  EXPECT_EQ(fs::current_path(), FFolder);
  EXPECT_TRUE(form.FileName.empty());
  EXPECT_TRUE(form.lFN->text().isEmpty());
  ASSERT_NE(Link(), nullptr);
  EXPECT_EQ(Link()->PortNumber, 2); // the first free port
  EXPECT_TRUE(Link()->IsOpen());
  EXPECT_EQ(Link()->BaudRate, 19200u);
  EXPECT_EQ(Link()->LineMode, 2);
  EXPECT_TRUE(AccessGranted);
  EXPECT_EQ(form.OpenDialog1.InitialDir.toStdString(), FFolder.string());
  EXPECT_EQ(form.WindowState(), 0);
  EXPECT_EQ(form.frameGeometry(), CentredFrame(form));

  EXPECT_TRUE(form.close());
  const std::string written = ReadAll(FSettings);
  const auto rs232 = written.find("[RS232]\r\nPort=2\r\n");
  const auto common = written.find("[Common]\r\nFN=\r\n");
  const auto placement = written.find("[MainWindow]\r\nState=0\r\nLeft=");
  EXPECT_EQ(written.rfind(" \r\n", 0), 0u) << written;
  ASSERT_NE(rs232, std::string::npos) << written;
  ASSERT_NE(common, std::string::npos) << written;
  ASSERT_NE(placement, std::string::npos) << written;
  EXPECT_LT(rs232, common);
  EXPECT_LT(common, placement);
  const QRect frame = form.frameGeometry();
  EXPECT_NE(written.find("Left=" + std::to_string(frame.x()) + "\r\nTop=" +
                         std::to_string(frame.y()) + "\r\nWidth=" + std::to_string(frame.width()) +
                         "\r\nHeight=" + std::to_string(frame.height()) + "\r\n"),
            std::string::npos)
      << written;
}

TEST_F(MainWindow, StoredNameIsShownAndStoredPositionDoesNotMoveTheWindow) {
  const std::string missing = (FFolder / "нет такой" / "Прошивка.rom").string();
  WriteAll(FSettings, "[Common]\r\nFN=" + missing +
                          "\r\n[MainWindow]\r\nState=0\r\nLeft=5\r\nTop=7\r\nWidth=900\r\n"
                          "Height=800\r\n");
  const auto noPort = AcceptNextBox();
  TMainForm &form = ShownForm();
  EXPECT_EQ(form.FileName, missing);
  EXPECT_EQ(form.lFN->text().toStdString(), missing);
  EXPECT_EQ(form.frameGeometry(), CentredFrame(form));
  EXPECT_EQ(form.size(), QSize(361, 251));
  EXPECT_EQ(form.WindowState(), 0);
  // No port in the folder: the link says so itself and start-up goes on.
  EXPECT_EQ(noPort->Text, "Нет свободного COM-порта!");
  EXPECT_EQ(Link()->PortNumber, 0);
  EXPECT_FALSE(Link()->IsOpen());
}

TEST_F(MainWindow, StoredStateOpensMaximizedOrMinimized) {
  DeviceAt("COM1");
  WriteAll(FSettings, "[MainWindow]\r\nState=2\r\nLeft=5\r\nTop=7\r\n");
  TMainForm &maximized = ShownForm();
  EXPECT_TRUE(maximized.isMaximized());
  EXPECT_EQ(maximized.WindowState(), 2);
  EXPECT_TRUE(maximized.close());
  EXPECT_NE(ReadAll(FSettings).find("State=2\r\n"), std::string::npos);

  FForms.clear();
  WriteAll(FSettings, "[MainWindow]\r\nState=1\r\n");
  TMainForm &minimized = ShownForm();
  EXPECT_TRUE(minimized.isMinimized());
  EXPECT_EQ(minimized.WindowState(), 1);

  FForms.clear();
  WriteAll(FSettings, "[MainWindow]\r\nState=7\r\n");
  TMainForm &normal = ShownForm();
  EXPECT_EQ(normal.WindowState(), 0);
}

TEST_F(MainWindow, FileDialogCancelKeepsTheNameAndConfirmSetsIt) {
  DeviceAt("COM1");
  const fs::path image = MakeImage(1);
  WriteAll(FSettings, "[Common]\r\nFN=/old/name.rom\r\n");
  TMainForm &form = ShownForm();

  bool seen = false;
  WhenModal<QFileDialog>([&](QFileDialog *dialog) {
    seen = true;
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog->nameFilters(), QStringList{"Файлы прошивок (*.rom)"});
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), FFolder.string());
    Close(dialog, false);
  });
  QTest::mouseClick(form.bOpen, Qt::LeftButton);
  EXPECT_TRUE(seen);
  EXPECT_EQ(form.FileName, "/old/name.rom");
  EXPECT_EQ(form.lFN->text(), "/old/name.rom");

  WhenModal<QFileDialog>([&](QFileDialog *dialog) {
    // Typed into the name field, as the operator would.
    auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(image.filename().string()));
    Close(dialog, true);
  });
  QTest::mouseClick(form.bOpen, Qt::LeftButton);
  EXPECT_EQ(form.FileName, image.string());
  EXPECT_EQ(form.lFN->text().toStdString(), image.string());

  // The next opening starts at the chosen file.
  QStringList preset;
  WhenModal<QFileDialog>([&](QFileDialog *dialog) {
    preset = dialog->selectedFiles();
    Close(dialog, false);
  });
  QTest::mouseClick(form.bOpen, Qt::LeftButton);
  EXPECT_EQ(preset, QStringList{QString::fromStdString(image.string())});
  EXPECT_EQ(form.FileName, image.string());

  EXPECT_TRUE(form.close());
  EXPECT_NE(ReadAll(FSettings).find("FN=" + image.string() + "\r\n"), std::string::npos);
}

TEST_F(MainWindow, PortButtonChoosesAmongTheFreePorts) {
  DeviceAt("COM1");
  DeviceAt("COM3");
  TMainForm &form = ShownForm();
  ASSERT_EQ(Link()->PortNumber, 1);

  QStringList entries;
  WhenModal<TZor_RS232_SetNumDlg>([&](TZor_RS232_SetNumDlg *dialog) {
    for (int i = 0; i < dialog->PCB->count(); ++i)
      entries << dialog->PCB->itemText(i);
    dialog->PCB->setCurrentIndex(dialog->PCB->findText("COM3"));
    QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
  });
  QTest::mouseClick(form.bRS232, Qt::LeftButton);
  EXPECT_EQ(entries, (QStringList{"COM1", "COM3"}));
  EXPECT_EQ(Link()->PortNumber, 3);
  EXPECT_TRUE(Link()->IsOpen());
  EXPECT_EQ(Link()->BaudRate, 19200u);

  EXPECT_TRUE(form.close());
  EXPECT_NE(ReadAll(FSettings).find("[RS232]\r\nPort=3\r\n"), std::string::npos);
}

TEST_F(MainWindow, LoadWritesTheImageIntoTheDevice) {
  sim::DeviceOptions options;
  options.ResetVector = {0x04, 0x00, 0x03, 0x00, 0x00, 0x00};
  sim::VirtualDevice &device = DeviceAt("COM1", options);
  const fs::path image = MakeImage(6);
  WriteAll(FSettings, "[Common]\r\nFN=" + image.string() + "\r\n");
  TMainForm &form = ShownForm();

  auto box = AcceptNextBox();
  QTest::mouseClick(form.bLoad, Qt::LeftButton);
  EXPECT_TRUE(box->Shown);
  EXPECT_EQ(box->Text, "Загрузка окончена.");
  EXPECT_EQ(box->Icon, QMessageBox::Information);
  // Owned by the progress window, which stays on top: the box must stand
  // above it, not under it.
  EXPECT_EQ(box->Owner, "ProgressForm");
  EXPECT_FALSE(form.Running());
  EXPECT_EQ(VisibleProgressWindows(), 0);
  EXPECT_EQ(form.ResetVector, options.ResetVector);

  ASSERT_TRUE(device.WaitForFinish(std::chrono::seconds(5)));
  const std::string bytes = ReadAll(image);
  const auto pages = device.Pages();
  ASSERT_EQ(pages.size(), 3u);
  ASSERT_TRUE(pages.count(0) && pages.count(4 * 1024) && pages.count(5 * 1024));
  std::string first(pages.at(0).begin(), pages.at(0).end());
  EXPECT_EQ(first.substr(0, 6), std::string("\x04\x00\x03\x00\x00\x00", 6));
  EXPECT_EQ(first.substr(6), bytes.substr(6, 1536 - 6));
  EXPECT_EQ(std::string(pages.at(4096).begin(), pages.at(4096).end()),
            bytes.substr(4 * 1536, 1536));
  EXPECT_EQ(std::string(pages.at(5120).begin(), pages.at(5120).end()),
            bytes.substr(5 * 1536, 1536));
}

// With a journal named in the settings, each load is recorded on disk before
// its outcome box opens; a journal that cannot be written starts no load.
TEST_F(MainWindow, AJournalInTheSettingsHoldsTheLoadBeforeItsOutcomeIsShown) {
  sim::VirtualDevice &device = DeviceAt("COM1");
  const fs::path image = MakeImage(6);
  struct Case {
    std::string Journal;
    std::string BoxText;
    size_t Records;
  };
  const std::vector<Case> cases = {
      {"journal.jsonl", "Загрузка окончена.", 1},
      {"no-such-folder/journal.jsonl", "no-such-folder/journal.jsonl cannot be opened", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Journal);
    WriteAll(FSettings,
             "[Common]\r\nFN=" + image.string() + "\r\n[Journal]\r\nFile=" + c.Journal + "\r\n");
    TMainForm &form = ShownForm();
    const fs::path journal = FFolder / c.Journal;
    std::string text;
    std::string heldWhenShown;
    WhenModal([](QWidget *widget) { return qobject_cast<QMessageBox *>(widget) != nullptr; },
              [&](QWidget *widget) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                text = box->text().toStdString();
                heldWhenShown = ReadAll(journal);
                box->accept();
              });
    const uint32_t before = device.CommandCount(1);
    QTest::mouseClick(form.bLoad, Qt::LeftButton);
    EXPECT_NE(text.find(c.BoxText), std::string::npos) << text;
    const JournalContents contents = c.Records ? FileJournal(journal).Read() : JournalContents{};
    ASSERT_EQ(contents.Loads.size(), c.Records);
    if (c.Records) {
      EXPECT_EQ(heldWhenShown, ReadAll(journal)) << "the box opened before the record was on disk";
      const LoadRecord &record = contents.Loads[0];
      EXPECT_EQ(record.Outcome, "done");
      EXPECT_EQ(record.Port, "COM1");
      EXPECT_EQ(record.Image, image.string());
      EXPECT_EQ(record.ProgramName, "korvalen");
      EXPECT_EQ(record.PagesSent, 3);
    } else {
      EXPECT_EQ(device.CommandCount(1), before) << "a load started that could not be recorded";
    }
    FForms.clear();
    ReleaseLink();
  }
}

TEST_F(MainWindow, AnImageThatCannotBeReadGoesToTheErrorBoxWithItsReason) {
  sim::VirtualDevice &device = DeviceAt("COM1");
  // A FIFO would block the open for ever; an image past the 24-bit address
  // space would write its last pages over the first.
  const fs::path fifo = FFolder / "fifo.rom";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path large = FFolder / "large.rom";
  WriteAll(large, "");
  fs::resize_file(large, 16385 * 1536);
  for (const fs::path &image : {fifo, large}) {
    SCOPED_TRACE(image.string());
    WriteAll(FSettings, "[Common]\r\nFN=" + image.string() + "\r\n");
    TMainForm &form = ShownForm();
    auto box = AcceptNextBox();
    QTest::mouseClick(form.bLoad, Qt::LeftButton);
    EXPECT_TRUE(box->Shown);
    EXPECT_EQ(box->Title, ApplicationTitle());
    EXPECT_EQ(box->Icon, QMessageBox::Critical);
    EXPECT_TRUE(box->Text.contains(QString::fromStdString(image.string())))
        << box->Text.toStdString();
    EXPECT_FALSE(form.Running());
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(VisibleProgressWindows(), 0);
    EXPECT_TRUE(form.close());
    FForms.clear();
    ReleaseLink();
  }
  EXPECT_TRUE(device.Requests().empty());
}

TEST_F(MainWindow, AFolderAsTheImageIsAFileNotFound) {
  DeviceAt("COM1");
  fs::create_directory(FFolder / "folder.rom");
  WriteAll(FSettings, "[Common]\r\nFN=" + (FFolder / "folder.rom").string() + "\r\n");
  TMainForm &form = ShownForm();

  auto box = AcceptNextBox();
  QTest::mouseClick(form.bLoad, Qt::LeftButton);
  EXPECT_TRUE(box->Shown);
  EXPECT_EQ(box->Text, "Файл не найден");
  EXPECT_EQ(box->Title, "Error");
  EXPECT_EQ(VisibleProgressWindows(), 0);
  EXPECT_TRUE(form.isVisible());
}

TEST_F(MainWindow, RunningLoadIgnoresTheButtonsAndDefersTheClose) {
  sim::DeviceOptions options;
  options.SilentPolls = 1000000; // never switched on: the load polls until cancelled
  sim::VirtualDevice &device = DeviceAt("COM1", options);
  const fs::path image = MakeImage(6);
  const std::string stored = "[Common]\r\nFN=" + image.string() + "\r\n";
  WriteAll(FSettings, stored);
  TMainForm &form = ShownForm();
  TZor_RS *link = Link();

  bool checked = false;
  int fileDialogs = 0;
  WhenShown<TProgressForm>([&](TProgressForm *progress) {
    checked = true;
    EXPECT_TRUE(form.Running());
    // Should a second run start after all, it is cancelled again.
    int secondRuns = 0;
    WhenShown<TProgressForm>(
        [&](TProgressForm *other) {
          ++secondRuns;
          other->BitBtn1->click();
        },
        progress);
    QTest::mouseClick(form.bLoad, Qt::LeftButton);
    EXPECT_EQ(secondRuns, 0);
    EXPECT_EQ(VisibleProgressWindows(), 1);

    // Should the file dialog open after all, it is closed again.
    WhenModal<QFileDialog>([&](QFileDialog *dialog) {
      ++fileDialogs;
      Close(dialog, false);
    });
    QTest::mouseClick(form.bOpen, Qt::LeftButton);
    QTest::mouseClick(form.bRS232, Qt::LeftButton);
    EXPECT_EQ(Link(), link);
    EXPECT_TRUE(link->IsOpen());
    EXPECT_EQ(form.FileName, image.string());

    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.CloseDeferred());
    EXPECT_EQ(ReadAll(FSettings), stored);

    progress->BitBtn1->click();
  });
  QTest::mouseClick(form.bLoad, Qt::LeftButton);

  EXPECT_TRUE(checked);
  EXPECT_EQ(fileDialogs, 0);
  EXPECT_GT(device.CommandCount(sim::kCommandIdentify), 0u);
  EXPECT_EQ(device.CommandCount(sim::kCommandWriteBlock), 0u);
  EXPECT_FALSE(form.Running());
  EXPECT_EQ(VisibleProgressWindows(), 0);
  // The close asked for during the run happened right after it.
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.CloseDeferred());
  const std::string written = ReadAll(FSettings);
  EXPECT_NE(written.find("[RS232]\r\nPort=1\r\n"), std::string::npos) << written;
  EXPECT_NE(written.find("[MainWindow]\r\nState=0\r\n"), std::string::npos) << written;
}

TEST_F(MainWindow, SecondCopyQuitsAndWritesNothing) {
  DeviceAt("COM1");
  TMainForm &first = ShownForm();
  EXPECT_FALSE(first.QuitRequested());
  EXPECT_EQ(FQuitRequests, 0);
  const std::string stored = ReadAll(FSettings);

  TMainForm &second = NewForm();
  EXPECT_TRUE(second.QuitRequested()); // at once, while the window is built
  EXPECT_EQ(FQuitRequests, 1);
  second.show(); // shown after all, it still writes nothing
  QCoreApplication::processEvents();
  EXPECT_EQ(second.windowTitle(), "Korvalen");
  EXPECT_TRUE(second.close());
  EXPECT_EQ(ReadAll(FSettings), stored);

  // The first copy goes on undisturbed and writes at its close.
  EXPECT_TRUE(first.close());
  EXPECT_NE(ReadAll(FSettings).find("[Common]\r\nFN=\r\n"), std::string::npos);
}

TEST_F(MainWindow, NeverShownWindowWritesNothing) {
  TMainForm &form = NewForm();
  EXPECT_TRUE(form.close());
  EXPECT_FALSE(fs::exists(FSettings));
  EXPECT_EQ(Link(), nullptr);
}

TEST_F(MainWindow, SettingsThatCannotBeCreatedSkipTheRestOfTheShow) {
  DeviceAt("COM1");
  FSettings = FFolder / "missing" / "korvalen.ini";
  auto box = AcceptNextBox();
  TMainForm &form = ShownForm();

  EXPECT_TRUE(box->Shown);
  EXPECT_EQ(box->Title, ApplicationTitle());
  EXPECT_EQ(box->Icon, QMessageBox::Critical);
  EXPECT_FALSE(box->Text.isEmpty());
  EXPECT_TRUE(box->Text.endsWith('.'));
  ASSERT_NE(Link(), nullptr);
  EXPECT_FALSE(Link()->IsOpen());       // the settings were not loaded
  EXPECT_EQ(Link()->BaudRate, 115200u); // nor was the rate set
  EXPECT_FALSE(AccessGranted);
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.frameGeometry(), CentredFrame(form));

  // Settings never read are not written over.
  box = AcceptNextBox();
  EXPECT_TRUE(form.close());
  QTest::qWait(50);
  EXPECT_FALSE(box->Shown);
  EXPECT_FALSE(fs::exists(FSettings));
}

TEST_F(MainWindow, SettingsThatCannotBeWrittenAtCloseAreReportedAndTheWindowCloses) {
  DeviceAt("COM1");
  TMainForm &form = ShownForm();
  fs::remove(FSettings);
  fs::create_directory(FSettings); // in the way of the file

  auto box = AcceptNextBox();
  EXPECT_TRUE(form.close());
  EXPECT_TRUE(box->Shown);
  EXPECT_EQ(box->Title, ApplicationTitle());
  EXPECT_EQ(box->Text.toStdString(), "Unable to write to " + FSettings.string() + ".");
  EXPECT_FALSE(form.isVisible());
}

} // namespace
