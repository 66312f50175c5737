// The tool's only window: three step buttons that double as a status display,
// the version, a progress bar, over a full-window background picture.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>

#include "update_firmware.h"

class MainWnd : public QDialog {
public:
    MainWnd();
    ~MainWnd() override;

    // The style sheet of the three step buttons.
    static const char* const buttonStyleSheet;

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void initUi();
    void initConnections();
    void startUpdate();
    void onDone(bool succeed);
    void onError(const QString& msg);
    void onProgress(int percent);

    QPixmap background;
    QLabel versionLabel;
    QProgressBar progressBar;
    QPushButton detectedButton;
    QPushButton completeButton;
    QPushButton startButton;
    int timerId;
    bool updating;
    UpdateFirmware updater;
};
