#include "main_wnd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPainter>
#include <QRectF>
#include <QTimerEvent>
#include <QVBoxLayout>

#include "update/messages.h"
#include "window_look.h"
#include "zarvik/version.h"

// White buttons with grey text; teal with white text under the mouse, darker
// teal while pressed and while checked.  The runs of tabs and blanks between
// the rules are part of the string.
const char* const MainWnd::buttonStyleSheet =
    "QPushButton{background-color:rgb(255,255,255);color:rgb(100,100,100);border:0px}"
    "\t\t\t\t\t   "
    "QPushButton:hover{background-color:" ZARVIK_TEAL ";color:rgb(255,255,255);border:0px}"
    "\t\t\t\t\t "
    "QPushButton:pressed{background-color:" ZARVIK_DARK_TEAL ";color:rgb(255,255,255);border:0px}"
    "\t\t\t\t\t "
    "QPushButton:checked{background-color:" ZARVIK_DARK_TEAL ";color:rgb(255,255,255);border:0px}";

MainWnd::MainWnd()
    : QDialog(nullptr, Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      versionLabel(QStringLiteral("v" ZARVIK_VERSION_STRING)), timerId(0), updating(false)
{
    // A missing or unreadable picture leaves the window plain.
    background.load(QCoreApplication::applicationDirPath() + QStringLiteral("/background.jpg"));

    detectedButton.setEnabled(false);
    detectedButton.setCheckable(true);
    completeButton.setEnabled(false);
    completeButton.setCheckable(true);

    // The first scan runs before the window is shown.
    if (updater.detectPrinter())
        detectedButton.setChecked(true);

    initUi();
    initConnections();
    timerId = startTimer(1000, Qt::CoarseTimer);
}

MainWnd::~MainWnd() = default;

void MainWnd::initUi()
{
    setWindowTitle(QStringLiteral("Zarvik Firmware Update Tool"));
    versionLabel.setStyleSheet(QStringLiteral("color: white;"));

    const QString style = QString::fromLatin1(buttonStyleSheet);
    detectedButton.setStyleSheet(style);
    startButton.setStyleSheet(style);
    completeButton.setStyleSheet(style);

    detectedButton.setText(QStringLiteral("Printer\nDetected"));
    startButton.setText(QStringLiteral("Start\nFirmware\nUpdate"));
    completeButton.setText(QStringLiteral("Firmware\nUpdate\nComplete"));

    detectedButton.setFixedSize(113, 72);
    startButton.setFixedSize(113, 72);
    completeButton.setFixedSize(113, 72);

    progressBar.setFixedWidth(360);
    progressBar.setTextVisible(false);

    setFixedSize(look::window_width, look::window_height);

    auto* steps = new QHBoxLayout();
    steps->setSpacing(23);
    steps->addStretch(1);
    steps->addWidget(&detectedButton);
    steps->addWidget(&startButton);
    steps->addWidget(&completeButton);
    steps->addStretch(1);

    auto* page = new QVBoxLayout(this);
    page->addWidget(&versionLabel, 0, Qt::AlignRight);
    page->addStretch(1);
    page->addLayout(steps, 0);
    page->addSpacing(32);
    page->addWidget(&progressBar, 0, Qt::AlignCenter);
    page->addSpacing(32);
}

void MainWnd::initConnections()
{
    connect(&startButton, &QAbstractButton::clicked, this, &MainWnd::startUpdate);
    // The worker is the context: the handlers run inside its emissions.
    connect(&updater, &UpdateFirmware::done, &updater, [this](bool succeed) { onDone(succeed); });
    connect(&updater, &UpdateFirmware::error, &updater, [this](const QString& msg) { onError(msg); });
    connect(&updater, &UpdateFirmware::progressUpdated, &updater, [this](int percent) { onProgress(percent); });
}

void MainWnd::startUpdate()
{
    const QDir folder(QCoreApplication::applicationDirPath() + QStringLiteral("/firmware"), QStringLiteral("*"),
                      QDir::Name | QDir::IgnoreCase, QDir::Files);
    const QFileInfoList files = folder.entryInfoList();
    // Files, but none to install, are no firmware either: the printer is not touched.
    if (UpdateFirmware::plan(files).empty()) {
        QMessageBox::warning(this, QStringLiteral("warning"), QString::fromUtf8(update::no_firmware_message),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    updating = true;
    updater.update(files);
    updating = false;
}

void MainWnd::onDone(bool succeed)
{
    if (!succeed)
        return;  // the error box has been shown already
    killTimer(timerId);
    startButton.setEnabled(false);
    startButton.setCheckable(true);
    startButton.setChecked(true);
    completeButton.setChecked(true);
    QMessageBox::information(this, QStringLiteral("information"), QString::fromUtf8(update::success_message),
                             QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWnd::onError(const QString& msg)
{
    QMessageBox::critical(this, QStringLiteral("error"), msg, QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWnd::onProgress(int percent)
{
    progressBar.setValue(percent);
}

void MainWnd::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == timerId && !updating)
        detectedButton.setChecked(updater.detectPrinter());
    QDialog::timerEvent(event);
}

void MainWnd::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    // A null source rectangle takes the whole picture, scaled to the window.
    painter.drawPixmap(QRectF(rect()), background, QRectF());
    painter.end();
}
