// The window lists the firmware folder with QDir, the command line with the
// update core: both must see the same files in the same order.
#include <QDir>
#include <QFile>
#include <QtTest>

#include "support/test_support.h"
#include "update/folder.h"

class ListingTest : public QObject {
    Q_OBJECT

    static QStringList qdirNames(const QString& dir)
    {
        return QDir(dir, QStringLiteral("*"), QDir::Name | QDir::IgnoreCase, QDir::Files).entryList();
    }

    static QStringList coreNames(const QString& dir)
    {
        QStringList out;
        for (const update::FolderEntry& e : update::list_firmware_folder(dir.toUtf8().toStdString()))
            out << QString::fromUtf8(e.name.c_str());
        return out;
    }

private slots:
    void qdirAndTheCoreAgree_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::newRow("mixed case") << QStringList{"b.xbf",    "A.bin",  "a2.bin",  "C.XBF",      "_x.xbf",
                                                   "Zeta.xbf", "z1.xbf", "[x].xbf", "~tilde.bin", "0.bin"};
        QTest::newRow("beyond ASCII") << QStringList{QString::fromUtf8("\xC3\x84pfel.xbf"),
                                                     "apfel.xbf",
                                                     "Zebra.xbf",
                                                     QString::fromUtf8("\xC3\xA9"
                                                                       "clair.bin"),
                                                     QString::fromUtf8("\xC3\x89"
                                                                       "t\xC3\xA9.bin"),
                                                     QString::fromUtf8("\xCE\xA9mega.xbf"),
                                                     QString::fromUtf8("\xCF\x89"
                                                                       "2.xbf"),
                                                     QString::fromUtf8("\xD0\x96.xbf"),
                                                     QString::fromUtf8("\xD0\xB6"
                                                                       "a.xbf"),
                                                     QString::fromUtf8("\xE5\xAD\x97\xE4\xBD\x93.xbf"),
                                                     QString::fromUtf8("\xF0\x9F\x96\xA8 printer.xbf"),
                                                     QString::fromUtf8("\xEF\xBD\x81.xbf"),
                                                     QString::fromUtf8("\xC3\x9F"
                                                                       "x.xbf"),
                                                     QString::fromUtf8("\xC4\xB0stanbul.xbf"),
                                                     "istanbul.xbf"};
        QTest::newRow("dots and hidden") << QStringList{".hidden.bin", "..two.xbf", "a.b.c.bin", "trailing.", "bin"};
    }

    void qdirAndTheCoreAgree()
    {
        QFETCH(QStringList, names);
        testsupport::TempDir dir;
        const QString path = QString::fromUtf8(dir.utf8().c_str());
        for (const QString& name : names) {
            QFile file(path + QLatin1Char('/') + name);
            QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(name));
            file.write("x");
        }
        QDir(path).mkdir(QStringLiteral("folder.bin"));
        const QStringList expected = qdirNames(path);
        QVERIFY(!expected.contains(QStringLiteral("folder.bin")));
        QCOMPARE(coreNames(path), expected);
    }
};

QTEST_GUILESS_MAIN(ListingTest)
#include "listing_test.moc"
