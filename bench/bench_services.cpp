// The sibling services' figures: the one-time migration's copy of a 200 MB support folder
// of mixed file sizes, against `cp -a` of the same tree in the same run, and the update
// check's version comparison.
//
// Prints "name: value unit" lines. Everything it writes stays in a temporary folder that
// stands in for the home folder.
#include <ZelKit/ZelSandboxMigration.h>
#include <ZelKit/ZelUpdater.h>
#include <ZelKit/platform/ZelUserDefaults.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString bundleID = QStringLiteral("com.brannel.BenchApp");

// Returns the bytes written: large files, a layer of middling ones and many small ones,
// in nested folders as an application's data tends to be.
qint64 writeTree(const QString &root, qint64 scale)
{
    struct Kind
    {
        int count;
        qint64 size;
    };
    const std::vector<Kind> kinds = {{3, 40 << 20}, {256, 256 << 10}, {4096, 4 << 10}};
    QByteArray block(1 << 20, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + i / 4096) & 0xff);
    qint64 total = 0;
    int n = 0;
    for (const Kind &kind : kinds) {
        const qint64 size = std::max<qint64>(kind.size / scale, 1);
        for (int i = 0; i < kind.count; ++i, ++n) {
            const QString folder = root + QStringLiteral("/d%1/e%2").arg(n % 16).arg(n % 64);
            QDir().mkpath(folder);
            QFile file(folder + QStringLiteral("/f%1.dat").arg(n));
            if (!file.open(QIODevice::WriteOnly))
                return -1;
            for (qint64 left = size; left > 0; left -= block.size())
                file.write(block.constData(), std::min<qint64>(left, block.size()));
            total += size;
        }
    }
    return total;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    const bool quick = qEnvironmentVariableIsSet("ZEL_BENCH_QUICK");
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    // Before the application exists, so that every standard place is under `home`.
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bench_services"));

    const QString container = home.path() + "/Library/Containers/" + bundleID + "/Data";
    const QString support = container + "/Library/Application Support/" + bundleID;
    const qint64 bytes = writeTree(support, quick ? 50 : 1);
    if (bytes <= 0)
        return 1;
    const QString migrated = home.path() + "/.local/share/" + bundleID;
    const QString copied = home.path() + "/cp-copy";
    const double mb = double(bytes) / (1 << 20);

    std::vector<double> ours, cp;
    bool ok = true;
    for (int round = 0; round < (quick ? 1 : 3) && ok; ++round) {
        QElapsedTimer timer;
        timer.start();
        ok = QProcess::execute("cp", {"-a", support, copied}) == 0;
        cp.push_back(mb / (double(timer.nsecsElapsed()) / 1e9));

        ZelUserDefaults defaults = ZelUserDefaults::standard();
        defaults.setBool(QStringLiteral("ZelKit.sandboxMigrated"), false);
        defaults.sync();
        timer.start();
        ZelSandboxMigration::migrateFromContainerIfNeeded(bundleID);
        ours.push_back(mb / (double(timer.nsecsElapsed()) / 1e9));
        ok = ok && QFile::exists(migrated + "/d0/e0/f0.dat");

        QDir(copied).removeRecursively();
        QDir(migrated).removeRecursively();
    }
    std::printf("migration_tree_mb: %.1f MB\n", mb);
    std::printf("migration_copy_mb_per_s: %.0f MB/s\n", median(ours));
    std::printf("cp_a_mb_per_s: %.0f MB/s\n", median(cp));
    std::printf("migration_vs_cp_a: %.2f x\n", median(cp) / std::max(median(ours), 1e-9));

    // Pairs an update check meets: equal, digit runs of different lengths, suffixes.
    const QStringList pairs = {"1.0",    "1.0",        "1.9.13", "1.10.2",    "2.0b3",
                               "2.0b12", "10.4.11",    "10.4.9", "1.0",       "1.0.1",
                               "3.2",    "3.2 (1042)", "0.9.99", "0.10.0-rc1"};
    const int loops = quick ? 2000 : 200000;
    int sink = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < loops; ++i)
        for (qsizetype p = 0; p + 1 < pairs.size(); p += 2)
            sink += ZelUpdater::compareVersions(pairs.at(p), pairs.at(p + 1));
    const double compares = double(loops) * double(pairs.size() / 2);
    std::printf("version_compare_ns: %.1f ns\n", double(timer.nsecsElapsed()) / compares);
    std::fprintf(stderr, "(checksum %d)\n", sink);
    return ok ? 0 : 1;
}
