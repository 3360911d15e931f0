// Where the pipe's socket file goes, and when the private fallback directory
// is refused.
#include "ipc/pipepath.h"
#include "pipetest.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestPipePath : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void runtimeDirectoryWins();
    void fallbackDirectory_data();
    void fallbackDirectory();

private:
    QByteArray oldRuntime;
    QByteArray oldTmp;
};

void TestPipePath::init()
{
    oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    oldTmp = qgetenv("TMPDIR");
}

void TestPipePath::cleanup()
{
    qputenv("XDG_RUNTIME_DIR", oldRuntime);
    qputenv("TMPDIR", oldTmp);
}

void TestPipePath::runtimeDirectoryWins()
{
    QTemporaryDir temp;
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    qputenv("XDG_RUNTIME_DIR", "/run/user/4711");
    QString why;
    QCOMPARE(pipePath(&why), QStringLiteral("/run/user/4711/zav_msg_ipc_pipe"));
    QVERIFY(why.isEmpty());
    QVERIFY(QDir(temp.path()).isEmpty()); // no fallback directory made
}

void TestPipePath::fallbackDirectory_data()
{
    // How the directory <temp>/zav-msg-<uid> is found before the call.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("usable");

    QTest::newRow("missing: created") << "missing" << true;
    QTest::newRow("own 0700") << "dir 0700" << true;
    QTest::newRow("own 0755: others may only look") << "dir 0755" << true;
    QTest::newRow("group-writable") << "dir 0770" << false;
    QTest::newRow("world-writable") << "dir 0777" << false;
    QTest::newRow("world-writable sticky") << "dir 1777" << false;
    QTest::newRow("symlink to a private dir") << "symlink" << false;
    QTest::newRow("regular file") << "file" << false;
    QTest::newRow("owned by another user") << "foreign" << false;
}

void TestPipePath::fallbackDirectory()
{
    QFETCH(QString, setup);
    QFETCH(bool, usable);

    QTemporaryDir temp;
    const QString tempPath = temp.path();
    qputenv("TMPDIR", QFile::encodeName(tempPath));
    qputenv("XDG_RUNTIME_DIR", "");
    const QString dir = tempPath + QStringLiteral("/zav-msg-") + QString::number(::getuid());
    const QByteArray nativeDir = QFile::encodeName(dir);

    if (setup.startsWith(QLatin1String("dir "))) {
        QVERIFY(QDir().mkdir(dir));
        QCOMPARE(::chmod(nativeDir.constData(), mode_t(setup.mid(4).toInt(nullptr, 8))), 0);
    } else if (setup == QLatin1String("symlink")) {
        QVERIFY(QDir().mkdir(temp.path() + QStringLiteral("/real")));
        QVERIFY(QFile::link(temp.path() + QStringLiteral("/real"), dir));
    } else if (setup == QLatin1String("file")) {
        QFile file(dir);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (setup == QLatin1String("foreign")) {
        if (::getuid() != 0) {
            QSKIP("needs root to give the directory to another user");
        }
        QVERIFY(QDir().mkdir(dir));
        QCOMPARE(::chmod(nativeDir.constData(), 0700), 0);
        QCOMPARE(::chown(nativeDir.constData(), 65534, 65534), 0);
    }

    const mode_t oldMask = ::umask(0); // the directory must not depend on the umask
    QString why;
    const QString path = pipePath(&why);
    ::umask(oldMask);

    if (usable) {
        QCOMPARE(path, dir + QStringLiteral("/zav_msg_ipc_pipe"));
        QVERIFY(why.isEmpty());
        struct stat st
        {
        };
        QCOMPARE(::lstat(nativeDir.constData(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, ::getuid());
        QVERIFY((st.st_mode & 0022) == 0);
        if (setup == QLatin1String("missing")) {
            QCOMPARE(st.st_mode & 07777, mode_t(0700));
        }
    } else {
        QVERIFY(path.isEmpty());
        QVERIFY2(why.startsWith(dir), qPrintable(why));
    }
}

QTEST_GUILESS_MAIN(TestPipePath)
#include "tst_pipepath.moc"
