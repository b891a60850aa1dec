// SPDX-License-Identifier: GPL-3.0-or-later
// Times the high-score check and listing against a large table, through the scene
// engine's offline storage as the game uses it. Prints one "name value" line per figure
// (microseconds per call, median of the repetitions) for bench/run.py to collect.
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int ROWS = 100000;
constexpr int MAX_SCORE = 5000;

QVariant call(QObject *root, const char *function, const QVariant &argument = QVariant())
{
    QVariant result;
    const bool called = argument.isValid()
        ? QMetaObject::invokeMethod(root, function, Q_RETURN_ARG(QVariant, result), Q_ARG(QVariant, argument))
        : QMetaObject::invokeMethod(root, function, Q_RETURN_ARG(QVariant, result));
    if (!called) {
        std::fprintf(stderr, "bench_scores: cannot call %s\n", function);
        std::exit(1);
    }
    return result;
}

double medianMicroseconds(int repetitions, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void measure(QObject *root, const char *suffix, int repetitions)
{
    // A score in the middle finds its ten better rows early in the scan; a new record
    // finds none and reads the whole table, the slowest case the player meets.
    const double typical = medianMicroseconds(repetitions, [&] { call(root, "qualifies", MAX_SCORE / 2); });
    const double record = medianMicroseconds(repetitions, [&] { call(root, "qualifies", MAX_SCORE + 1); });
    const double listing = medianMicroseconds(repetitions, [&] { call(root, "listing"); });
    std::printf("qualify_typical_us%s %.1f\n", suffix, typical);
    std::printf("qualify_record_us%s %.1f\n", suffix, record);
    std::printf("listing_us%s %.1f\n", suffix, listing);
    if (call(root, "hasGameListing").toBool()) {
        const double game = medianMicroseconds(repetitions, [&] { call(root, "gameListing"); });
        std::printf("game_listing_us%s %.1f\n", suffix, game);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 21;

    QTemporaryDir storage;
    QQmlEngine engine;
    engine.setOfflineStoragePath(storage.path());
    QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/bench/Scores.qml")));
    std::unique_ptr<QObject> root(component.create());
    if (!root) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return 1;
    }

    QElapsedTimer fill;
    fill.start();
    root->setProperty("maxScore", MAX_SCORE);
    call(root.get(), "fill", ROWS);
    std::fprintf(stderr, "bench_scores: %d rows stored in %lld ms\n", ROWS, fill.elapsed());

    const QString listing = call(root.get(), "listing").toString();
    if (listing.count(QLatin1Char('\n')) != 10) {
        std::fprintf(stderr, "bench_scores: listing has not ten lines:\n%s", qPrintable(listing));
        return 1;
    }
    if (call(root.get(), "qualifies", MAX_SCORE / 2).toBool()
        || !call(root.get(), "qualifies", MAX_SCORE + 1).toBool()) {
        std::fprintf(stderr, "bench_scores: qualification check answers wrongly\n");
        return 1;
    }

    std::printf("rows %d\n", ROWS);
    measure(root.get(), "", repetitions);
    call(root.get(), "addIndex");
    measure(root.get(), "_indexed", repetitions);
    return 0;
}
