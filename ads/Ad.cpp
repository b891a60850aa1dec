#include "Ad.h"

void Ad::startAd() { }

void Ad::start() { }
