// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QQmlEngine;

// Every web request the scene makes itself (the connection probe, the score upload) goes
// through the engine's network access manager, so what they may do is decided here once:
// a redirect is followed only to the host and port the request went to, so a form with its
// password never travels elsewhere; and the network layer holds at most a small buffer of
// a reply the scene has not read yet, so a huge or endless body cannot pile up behind it.
// It also publishes to the scene, as `serviceAddresses`, the addresses its requests and
// pages go to as this run uses them (adWebHost, scoreHost, storeUrl; see ServiceAddress.h).
// Call before the scene loads; it lasts for the life of the process.
void guardSceneNetwork(QQmlEngine &engine);
