// Bad input in the firmware folder, through the update worker: files that
// cannot be opened, vanish or change size under the upload, and names with
// characters outside ASCII or with control characters.  Each case ends with a
// clear error or a correct upload; the printer never holds a wrong byte as a
// complete file and never gets a command the update did not mean to send.
// What can be seen before the update starts is refused before anything is
// sent, so that the printer is not left half updated.
#include "update_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace faults;

class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        emu::UsbBus::instance().reset();
        emu::VirtualClock::reset();
        clearLogs();
        QDir(firmwareDir()).removeRecursively();
        QDir().mkpath(firmwareDir());
        printer =
            emu::UsbBus::instance().attach_printer(UpdateFirmware::TARGET_VENDOR_ID, UpdateFirmware::TARGET_PRODUCT_ID);
        // File data takes virtual time, so an upload reports progress on the way.
        emu::UsbBus::instance().find(printer.get())->transfer_ms[printer->endpoints().data_out] = 300;
    }

    void TearDown() override
    {
        checkGivenBack(*printer);
        checkViolations(*printer);
        checkOnlyIntendedCommands();
        checkBus();
        QDir(firmwareDir()).removeRecursively();
        emu::UsbBus::instance().reset();
    }

    Firmware add(const QString& name, int size, unsigned seed)
    {
        firmware.push_back(writeFirmware(firmwareDir(), name, patternBytes(size, seed)));
        return firmware.back();
    }

    Emitted update(const std::function<void(int)>& onProgress = nullptr)
    {
        return update(listFolder(firmwareDir()), onProgress);
    }

    Emitted update(const QFileInfoList& files, const std::function<void(int)>& onProgress = nullptr)
    {
        std::set<QString> texts = applicationTexts();
        const Emitted e = runUpdate(files, ::testing::UnitTest::GetInstance()->current_test_info()->name(), onProgress);
        checkSignals(e, texts);
        checkPrinterFiles(*printer, firmware);
        return e;
    }

    // Only the update's own command lines reached the printer: the fixed
    // ones, and uploads to the remote names of the firmware files.
    void checkOnlyIntendedCommands()
    {
        std::set<std::string> remotes;
        for (const Firmware& f : firmware)
            remotes.insert(f.remote);
        for (const std::string& c : printer->commands()) {
            if (c == "~M601 S0" || c == "~M602" || c == "~M29" || c == "~M600")
                continue;
            const std::size_t gap = c.find(' ', 5);
            const bool upload = c.rfind("~M28 ", 0) == 0 && gap != std::string::npos &&
                                c.find_first_not_of("0123456789", 5) == gap && remotes.count(c.substr(gap + 1)) == 1;
            EXPECT_TRUE(upload) << "a command the update did not mean: " << c;
        }
    }

    bool uploaded(const std::string& remote) const
    {
        for (const std::string& c : printer->commands())
            if (c.rfind("~M28 ", 0) == 0 && c.size() > remote.size() &&
                c.compare(c.size() - remote.size(), remote.size(), remote) == 0)
                return true;
        return false;
    }

    std::vector<std::string> takenUp() const
    {
        std::vector<std::string> paths;
        for (const emu::Install& i : printer->installs())
            paths.push_back(i.path);
        return paths;
    }

    QByteArray storedBytes(const std::string& remote) const
    {
        auto it = printer->files().find(remote);
        if (it == printer->files().end())
            return QByteArray();
        return QByteArray(reinterpret_cast<const char*>(it->second.data.data()),
                          static_cast<int>(it->second.data.size()));
    }

    bool storedComplete(const std::string& remote) const
    {
        auto it = printer->files().find(remote);
        return it != printer->files().end() && it->second.complete;
    }

    std::shared_ptr<emu::Printer> printer;
    std::vector<Firmware> firmware;
};

const char* const file_error = "open or access file failure";

// --- files that cannot be read ------------------------------------------------

TEST_F(BadInput, AnUnreadableFileStopsTheUpdateBeforeAnythingIsSent)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5000, 1);
    const Firmware fonts = add(QStringLiteral("fonts.xbf"), 5000, 2);
    add(QStringLiteral("ui.xbf"), 300, 3);
    const QByteArray path = QFile::encodeName(fonts.path);
    ASSERT_EQ(chmod(path.constData(), 0), 0);
    const int probe = open(path.constData(), O_RDONLY);
    if (probe >= 0) {
        close(probe);
        chmod(path.constData(), 0644);
        GTEST_SKIP() << "permissions do not stop this process from reading (it runs as root or may override "
                        "them); AFileThatBecameAFolderCannotBeOpened makes the open fail instead";
    }
    const Emitted e = update();
    chmod(path.constData(), 0644);
    EXPECT_EQ(str(e.outcome()), file_error);
    EXPECT_EQ(printer->transfer_count(), 0u) << "checked before the printer is taken";
    (void)image;
}

TEST_F(BadInput, AFileThatBecameAFolderIsRefusedBeforeAnythingIsSent)
{
    // Listed as a file, a folder by the time the update starts.
    const Firmware image = add(QStringLiteral("image.bin"), 5000, 1);
    const Firmware fonts = add(QStringLiteral("fonts.xbf"), 5000, 2);
    const QFileInfoList files = listFolder(firmwareDir());
    ASSERT_TRUE(QFile::remove(fonts.path));
    ASSERT_TRUE(QDir().mkdir(fonts.path));
    const Emitted e = update(files);
    EXPECT_EQ(str(e.outcome()), file_error);
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_TRUE(takenUp().empty()) << image.remote << " is not installed alone";
    firmware.pop_back();
}

TEST_F(BadInput, AFileRemovedAfterTheListingIsRefusedBeforeAnythingIsSent)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5000, 1);
    const Firmware fonts = add(QStringLiteral("fonts.xbf"), 5000, 2);
    const QFileInfoList files = listFolder(firmwareDir());
    ASSERT_TRUE(QFile::remove(fonts.path));
    const Emitted e = update(files);
    EXPECT_EQ(str(e.outcome()), file_error);
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_FALSE(uploaded(image.remote));
    firmware.pop_back();
}

TEST_F(BadInput, AFifoWhereAFileWasIsRefusedWithoutWaitingForAWriter)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5000, 1);
    const Firmware fonts = add(QStringLiteral("fonts.xbf"), 5000, 2);
    const QFileInfoList files = listFolder(firmwareDir());
    ASSERT_TRUE(QFile::remove(fonts.path));
    ASSERT_EQ(mkfifo(QFile::encodeName(fonts.path).constData(), 0644), 0);
    const Emitted e = update(files);
    EXPECT_EQ(str(e.outcome()), file_error);
    EXPECT_EQ(printer->transfer_count(), 0u);
    QFile::remove(fonts.path);
    firmware.pop_back();
    (void)image;
}

TEST_F(BadInput, AFileRemovedWhileAnEarlierOneUploadsIsAnError)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5 * 4096, 1);
    const Firmware fonts = add(QStringLiteral("fonts.xbf"), 5000, 2);
    bool removed = false;
    const Emitted e = update([&](int percent) {
        if (percent > 0 && percent < 100 && !removed)
            removed = QFile::remove(fonts.path);
    });
    ASSERT_TRUE(removed);
    EXPECT_EQ(str(e.outcome()), file_error);
    EXPECT_EQ(takenUp(), std::vector<std::string>{image.remote});
    EXPECT_TRUE(storedBytes(image.remote) == image.bytes);
    EXPECT_FALSE(uploaded(fonts.remote));
    firmware.pop_back();
}

TEST_F(BadInput, AFileRemovedDuringItsOwnUploadStillArrivesWhole)
{
    // The upload holds the file open; on POSIX its bytes stay readable until
    // it is closed.
    const Firmware image = add(QStringLiteral("image.bin"), 5 * 4096, 1);
    bool removed = false;
    const Emitted e = update([&](int percent) {
        if (percent > 0 && percent < 99 && !removed)
            removed = QFile::remove(image.path);
    });
    ASSERT_TRUE(removed);
    EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
    EXPECT_TRUE(storedComplete(image.remote));
    EXPECT_TRUE(storedBytes(image.remote) == image.bytes);
    firmware.clear();
    firmware.push_back(image);  // compare with the bytes it had
    checkPrinterFiles(*printer, firmware);
}

// --- files that change size -----------------------------------------------------

TEST_F(BadInput, AFileThatShrinksDuringItsUploadIsNotTakenUp)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5 * 4096, 1);
    add(QStringLiteral("fonts.xbf"), 300, 2);
    qint64 cut = 0;
    const Emitted e = update([&](int percent) {
        if (percent > 0 && percent < 99 && cut == 0) {
            // Past what went out so far, in the middle of a data piece.
            cut = 3 * 4096 + 100;
            QFile file(image.path);
            EXPECT_TRUE(file.resize(cut));
        }
    });
    ASSERT_GT(cut, 0);
    EXPECT_EQ(str(e.outcome()), file_error);
    EXPECT_TRUE(printer->installs().empty());
    ASSERT_EQ(printer->files().count(image.remote), 1u);
    EXPECT_FALSE(storedComplete(image.remote)) << "the printer holds it as incomplete";
    EXPECT_TRUE(storedBytes(image.remote) == image.bytes.left(static_cast<int>(cut)))
        << "what arrived is the file's own bytes";
    EXPECT_NE(logText().find("ended after " + std::to_string(cut) + " of " + std::to_string(image.bytes.size())),
              std::string::npos);
    EXPECT_FALSE(uploaded("0:/sys/fonts.xbf"));
}

TEST_F(BadInput, AFileThatGrowsDuringItsUploadArrivesAsItWasWhenItsUploadBegan)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5 * 4096, 1);
    bool grown = false;
    const Emitted e = update([&](int percent) {
        if (percent > 0 && percent < 99 && !grown) {
            QFile file(image.path);
            grown = file.open(QIODevice::Append) && file.write(patternBytes(9000, 7)) == 9000;
        }
    });
    ASSERT_TRUE(grown);
    EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
    EXPECT_TRUE(storedComplete(image.remote));
    EXPECT_TRUE(storedBytes(image.remote) == image.bytes) << "the announced size, the bytes it had then";
}

TEST_F(BadInput, AFileThatChangedSizeAfterTheListingArrivesAsItIsAtItsUpload)
{
    const Firmware image = add(QStringLiteral("image.bin"), 3000, 1);
    Firmware fonts = add(QStringLiteral("fonts.xbf"), 9000, 2);
    const QFileInfoList files = listFolder(firmwareDir());
    fonts = writeFirmware(firmwareDir(), QStringLiteral("fonts.xbf"), patternBytes(100, 5));
    firmware.back() = fonts;
    const Emitted e = update(files);
    EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
    EXPECT_TRUE(storedComplete(fonts.remote));
    EXPECT_TRUE(storedBytes(fonts.remote) == fonts.bytes);
}

TEST_F(BadInput, AnEmptyFileIsRefusedBeforeAnythingIsSent)
{
    // An empty file is no firmware: once it was uploaded and taken up.
    const Firmware image = add(QStringLiteral("image.bin"), 5000, 1);
    const Firmware empty = add(QStringLiteral("empty.xbf"), 0, 2);
    const Emitted e = update();
    EXPECT_EQ(str(e.outcome()), file_error);
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_FALSE(uploaded(image.remote));
    firmware.clear();
}

// --- names ------------------------------------------------------------------------

TEST_F(BadInput, NamesOutsideAsciiAreUploadedUnderTheirUtf8Names)
{
    const Firmware image = add(QStringLiteral("Firmware-\u00DF-\u00E9.bin"), 5000, 1);
    const Firmware umlaut = add(QStringLiteral("Schrift-\u00FC.xbf"), 4096, 2);
    const Firmware cjk = add(QStringLiteral("\u5B57\u4F53.xbf"), 100, 3);
    const Firmware emoji = add(QString::fromUtf8("\xF0\x9F\x96\xA8 printer.xbf"), 4097, 4);
    EXPECT_EQ(umlaut.remote, "0:/sys/Schrift-\xC3\xBC.xbf");
    const Emitted e = update();
    EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
    EXPECT_EQ(printer->installs().size(), 4u);
    for (const Firmware& f : firmware) {
        EXPECT_TRUE(storedComplete(f.remote)) << f.remote;
        EXPECT_TRUE(storedBytes(f.remote) == f.bytes) << f.remote;
    }
    EXPECT_TRUE(std::count(printer->commands().begin(), printer->commands().end(),
                           "~M28 4097 0:/sys/\xF0\x9F\x96\xA8 printer.xbf") == 1)
        << "the name goes out as UTF-8, its blank included";
}

// The additional file's name holds control characters: refused before the
// printer is taken (the library would refuse to put it into a command line).
class ControlCharacterName : public BadInput, public ::testing::WithParamInterface<std::string> {};

TEST_P(ControlCharacterName, IsRefusedAndInjectsNothing)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5000, 1);
    add(QString::fromUtf8(GetParam().c_str()), 300, 2);
    const Firmware later = add(QStringLiteral("zz-last.xbf"), 300, 3);
    ASSERT_EQ(listFolder(firmwareDir()).size(), 3) << "the file system took the name";
    const Emitted e = update();
    EXPECT_EQ(str(e.outcome()), "invalid arguments");
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_TRUE(printer->commands().empty());
    EXPECT_FALSE(uploaded(image.remote)) << "not the main image alone either";
    EXPECT_FALSE(uploaded(later.remote));
}

const std::string control_names[] = {"new\nline.xbf",  "carriage\rreturn.xbf", "tab\there.xbf",
                                     "delete\x7F.xbf", "escape\x1B[2J.xbf",    "x\r\n~M600\r\n~M602\r\n.xbf"};

std::string controlCaseName(const ::testing::TestParamInfo<std::string>& info)
{
    static const char* const names[] = {"Newline", "CarriageReturn", "Tab", "Delete", "Escape", "CommandLines"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Names, ControlCharacterName, ::testing::ValuesIn(control_names), controlCaseName);

TEST_F(BadInput, AMainImageWithControlCharactersInItsLocalNameIsUploadedAsOrbrey)
{
    // Only the remote name goes into a command; the local path may hold any byte.
    const Firmware image = add(QString::fromUtf8("fw\n\r\t.bin"), 5000, 1);
    const Emitted e = update();
    EXPECT_TRUE(e.succeeded()) << str(e.events.join(QLatin1Char(' ')));
    EXPECT_EQ(takenUp(), std::vector<std::string>{"0:/sys/orbrey.bin"});
    EXPECT_TRUE(storedBytes("0:/sys/orbrey.bin") == image.bytes);
}

TEST_F(BadInput, ANameTooLongForTheUploadCommandIsRefused)
{
    const Firmware image = add(QStringLiteral("image.bin"), 5000, 1);
    // 250 bytes: a valid name here, but "~M28 300 0:/sys/<name>\r\n" exceeds a command line.
    const Firmware longName = add(QString(246, QLatin1Char('n')) + QStringLiteral(".xbf"), 300, 2);
    const Emitted e = update();
    EXPECT_EQ(str(e.outcome()), "invalid arguments");
    EXPECT_EQ(printer->transfer_count(), 0u);
    EXPECT_FALSE(uploaded(image.remote));
    EXPECT_FALSE(uploaded(longName.remote));
}

TEST_F(BadInput, ANameWhoseEchoWouldNotFitAReplyLineIsRefused)
{
    // "Writing to file: 0:/sys/" and 104 bytes make a reply of 128 bytes,
    // one more than the link's reply buffer holds beside its NUL.
    add(QStringLiteral("image.bin"), 5000, 1);
    add(QString(100, QLatin1Char('n')) + QStringLiteral(".xbf"), 300, 2);
    const Emitted e = update();
    EXPECT_EQ(str(e.outcome()), "invalid arguments");
    EXPECT_EQ(printer->transfer_count(), 0u);
}

}  // namespace
