// SPDX-License-Identifier: GPL-3.0-or-later
// Times the ad client's download chain over loopback: from requestAd() to adDataReady().
// The first chain fetches the network logo, the ad description and the ad picture; the
// later ones only the description and the picture. Prints "name value" lines
// (milliseconds) for bench/run.py.
#include "QuillonAdModule.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Runs one chain and returns its duration in milliseconds, or a negative number when
// the chain did not end with a complete ad.
double chain(QuillonAdModule &module)
{
    QEventLoop loop;
    bool ready = false;
    QObject::connect(&module, &QuillonAdModule::adDataReady, &loop, [&] {
        ready = true;
        loop.quit();
    });
    QObject::connect(&module, &QuillonAdModule::adDataCorrupted, &loop, &QEventLoop::quit);
    QObject::connect(&module, &QuillonAdModule::networkError, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);

    QElapsedTimer timer;
    timer.start();
    if (module.requestAd() != QuillonAdModule::ResultOk)
        return -1;
    loop.exec();
    const double elapsed = timer.nsecsElapsed() / 1e6;
    return ready ? elapsed : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 21;

    QuillonAdModule module(nullptr, QStringLiteral("Kelto_Tamboro_Qt"), 0);
    const double first = chain(module);
    if (first < 0) {
        std::fprintf(stderr, "bench_adchain: the first chain brought no ad\n");
        return 1;
    }
    std::vector<double> later;
    for (int i = 0; i < repetitions; ++i) {
        const double ms = chain(module);
        if (ms < 0) {
            std::fprintf(stderr, "bench_adchain: chain %d brought no ad\n", i + 2);
            return 1;
        }
        later.push_back(ms);
    }
    std::sort(later.begin(), later.end());
    std::printf("adchain_first_ms %.2f\n", first);
    std::printf("adchain_next_ms %.2f\n", later[later.size() / 2]);
    std::printf("adchain_image_bytes %lld\n", static_cast<long long>(module.currentImageData().size()));
    return 0;
}
