// SPDX-License-Identifier: GPL-3.0-or-later
// The game's rules, navigation, high scores and connection probe. The script keeps no
// state between calls but `blocks`, which getSize() rebuilds before every use: everything
// else lives in properties of the scene's items, reached by id.

.import QtQuick.LocalStorage as Sql

// Compiled-in addresses; the build fills them in from its configuration. The shell publishes
// them as this run uses them (a build for the bundled local service may be handed another
// port at start); a scene loaded without the shell keeps the compiled-in ones.
var AD_WEB_HOST = runAddress("adWebHost", "@TAMBORO_AD_WEB_HOST@");
var SCORE_HOST = runAddress("scoreHost", "@TAMBORO_SCORE_HOST@");
var STORE_URL = runAddress("storeUrl", "@TAMBORO_STORE_URL@");

function runAddress(name, compiled) {
    return typeof serviceAddresses === "undefined" ? compiled : serviceAddresses[name];
}

// The game's rules in numbers.
var START_INTERVAL = 1000;      // ms from one spawn to the next at the start of a game
var FASTEST_INTERVAL = 250;     // reached at the 105th hit
var SPEED_UP_STEP = 50;         // every interval stays a multiple of 50, so flips last whole ms
var HITS_PER_SPEED_UP = 7;
var START_LIVES = 3;
var HOLE_COUNT = 8;             // also the grid size every score is stored with
var KIND_DRAWS = 101;           // the kind draw runs from 0 to 100 inclusive
var VIOLET_FROM = 50;           // kind draws below this are blue (1 point)
var YELLOW_FROM = 80;           // from here on yellow (3 points)
var EXTRA_SPAWN_DIVISOR = 7;    // 15 of the 101 kind draws put a second monkey up in the tick
var TOP_LIST_LENGTH = 10;
// ms another program may hold the score database as the game quits: the scores still
// waiting would be lost, so they are worth a short wait then, never during play. The write
// and its check wait this long each, so the game is gone within a few seconds.
var QUIT_WAIT = 2000;

// Numbers of the free holes, rebuilt by getSize() whenever it is needed.
var blocks = [];

var CREATE_SCORES = "CREATE TABLE IF NOT EXISTS Scores(name TEXT, score NUMBER, gridSize NUMBER)";
// The name is written out: the storage binds an empty string as NULL, and a database of
// this game has always held the empty string.
var INSERT_SCORE = "INSERT INTO Scores VALUES('', ?, ?)";
var TOP_SCORES = "SELECT * FROM Scores WHERE gridSize = ? ORDER BY score desc LIMIT ?";
var SCORES_AT_LEAST = "SELECT * FROM Scores WHERE gridSize = ? AND score >= ? LIMIT ?";

// The connection overlay's texts.
var LOADING_TEXT = "Loading, please wait";
var CONNECTION_ERROR_TEXT = "Network connection error, please try again.";
var CONNECTION_FAILED_TEXT = "Network connection failed";
// ms the connection probe waits for its first bytes: a host that takes the connection and
// never answers would otherwise leave the start screen loading for good.
var PROBE_WAIT = 20000;

// Every score operation opens the database anew; no handle is kept between calls.
function scoresDatabase() {
    return Sql.LocalStorage.openDatabaseSync("TamboroScores", "1.0", "Local Tamboro High Scores", 100);
}

// One read-write transaction, waiting `wait` ms at most for another program that holds the
// database. During play that is none: the scene stands still while a statement runs, and
// the storage would wait 5 s. The table comes first, so a database in which no score was
// saved yet lists as empty and has no best score to upload.
function scoresTransaction(work, wait) {
    scoresDatabase().transaction(function(tx) {
        tx.executeSql("PRAGMA busy_timeout = " + (wait || 0));
        tx.executeSql(CREATE_SCORES);
        work(tx);
    });
}

// The best stored scores of this board, best first, each as { name, score }.
function topScores(tx, count) {
    var rows = tx.executeSql(TOP_SCORES, [HOLE_COUNT, count]).rows;
    var scores = [];
    for (var i = 0; i < rows.length; ++i)
        scores.push({ name: rows.item(i).name, score: Math.round(rows.item(i).score) });
    return scores;
}

// A database held by another program, on a full disk or on a disk not mounted now (its
// folder cannot be made) answers again later; anything else wrong with it is taken as lasting.
function isPassing(error) {
    return /locked|busy|full|can't create path/i.test(error.message);
}

// Scores of this run that qualified but could not be written yet, best first, as the
// high-score screen holds them.
function unsavedScores() {
    return highScoreView.unsavedScores;
}

function keepUnsaved(scores) {
    highScoreView.unsavedScores = scores.slice().sort(function(a, b) { return b - a; });
}

// The same scores less one of each in `gone`.
function without(scores, gone) {
    var left = scores.slice();
    gone.forEach(function(score) {
        var at = left.indexOf(score);
        if (at >= 0)
            left.splice(at, 1);
    });
    return left;
}

// The storage does not report a commit the database refused, so a write counts as done only
// once its last row is found. Until then it is remembered, and looked for first by the next
// write, in the same transaction: scores found there are no longer waiting and are not
// written again, whichever of the write and this look failed before.
function confirmLastWrite(tx) {
    var written = highScoreView.unconfirmedWrite;
    if (written === null)
        return;
    var found = tx.executeSql("SELECT rowid FROM Scores WHERE rowid = ? AND score = ?",
                              [written.row, written.scores[written.scores.length - 1]]).rows.length === 1;
    if (found)
        keepUnsaved(without(unsavedScores(), written.scores));
    highScoreView.unconfirmedWrite = null;
}

// Writes the scores still waiting, waiting `wait` ms at most for another program that holds
// the database; throws when they could not be written.
function storeUnsaved(wait) {
    if (unsavedScores().length === 0)
        return;
    var written = null;
    scoresTransaction(function(tx) {
        confirmLastWrite(tx);
        var scores = unsavedScores();
        for (var i = 0; i < scores.length; ++i)
            tx.executeSql(INSERT_SCORE, [scores[i], HOLE_COUNT]);
        if (scores.length > 0)
            written = { row: tx.executeSql("SELECT last_insert_rowid() AS id").rows.item(0).id, scores: scores };
    }, wait);
    if (written === null)
        return;
    highScoreView.unconfirmedWrite = written;
    scoresTransaction(confirmLastWrite, wait);
    if (unsavedScores().length > 0)
        throw new Error("the database did not keep the scores");
}

// Before every score operation: the scores still waiting go first, if the database takes them.
function writeWaitingScores() {
    try {
        storeUnsaved(0);
    } catch (error) {
        console.warn("High score kept until the database takes it: " + error.message);
    }
}

// The last chance for the scores still waiting, as the game quits.
function writeWaitingScoresAtQuit() {
    var waiting = unsavedScores().length;
    try {
        storeUnsaved(QUIT_WAIT);
    } catch (error) {
        console.warn(waiting + " high score(s) lost, the database did not take them before the game ended: "
                     + error.message);
    }
}

function setState(state) {
    gameArea.state = state;
}

// Whether a finger could press this control now: shown, not faded out, not disabled (a
// screen is, while it slides) and not under the connection overlay (the overlay itself is
// pressed). A key that stands for a control acts only when this holds.
function canPress(control) {
    if (!control.visible || !control.enabled)
        return false;
    for (var item = control; item; item = item.parent) {
        if (item.opacity <= 0)
            return false;
    }
    if (!item1.visible || control === item1)
        return true;
    return !item1.contains(item1.mapFromItem(control, control.width / 2, control.height / 2));
}

function hole(id) {
    return gameView["hole" + id];
}

function hideTimer(id) {
    return [hideTimer1, hideTimer2, hideTimer3, hideTimer4,
            hideTimer5, hideTimer6, hideTimer7, hideTimer8][id - 1];
}

// A whole number from 0 to range - 1; the root scene holds the source so it can be steered.
function draw(range) {
    return Math.floor(gameArea.random() * range);
}

function setSpawnInterval(interval) {
    gameArea.gameTimerInterval = interval;
    gameTimer.interval = interval;
    for (var id = 1; id <= HOLE_COUNT; ++id)
        hole(id).flipSpeed = interval / 2;
}

// Stopped before the overlay appears: the ad it may open runs its own event loop, in
// which a running timer would still spawn monkeys and take lives from a finished game.
function stopTimers() {
    gameTimer.stop();
    for (var id = 1; id <= HOLE_COUNT; ++id)
        hideTimer(id).stop();
}

// Hide timers of an earlier game keep running; when they fire they find no monkey.
function newGame() {
    gameArea.state = "game";
    gameView.state = "";
    for (var id = 1; id <= HOLE_COUNT; ++id) {
        hole(id).state = "";
        hole(id).image2 = "hole";
        hole(id).hasMonkey = false;
    }
    gameArea.clickCount = 0;
    setSpawnInterval(START_INTERVAL);
    gameTimer.restart();
    gameArea.score = 0;
    gameArea.lives = START_LIVES;
    gameView.scoreText = gameArea.score;
    gameView.livesText = gameArea.lives;
    gameView.gamesPlayed++;
}

function getSize() {
    blocks = [];
    for (var id = 1; id <= HOLE_COUNT; ++id) {
        if (hole(id).state !== "hasMonkey")
            blocks.push(id);
    }
    return blocks.length;
}

function kindOf(kindDraw) {
    if (kindDraw < VIOLET_FROM)
        return "holebg1";
    return kindDraw < YELLOW_FROM ? "holebg2" : "holebg3";
}

function gameLoop(loop) {
    var size = getSize();
    if (size === 0) {
        stopTimers();
        endGame();
        return;
    }
    var id = blocks[draw(size)];
    var kindDraw = draw(KIND_DRAWS);
    setMonkey(id, kindOf(kindDraw));
    if (loop && kindDraw % EXTRA_SPAWN_DIVISOR === 0)
        gameLoop(false);
}

// The rim is left alone: a red rim from an earlier escape stays while the new monkey is up.
function setMonkey(id, image) {
    if (id < 1 || id > HOLE_COUNT)
        return;
    hole(id).state = "hasMonkey";
    hole(id).hasMonkey = true;
    hole(id).image = image;
    hideTimer(id).restart();
}

function hideMonkey(id) {
    var escaped = hole(id);
    if (escaped.hasMonkey) {
        escaped.state = "";
        escaped.image2 = "holebgred";
        escaped.hasMonkey = false;
        hideTimer(id).stop();
        gameArea.lives--;
    }
    gameView.livesText = gameArea.lives;
    if (gameArea.lives === 0) {
        stopTimers();
        endGame();
    }
}

function addScore(score, id) {
    hideTimer(id).stop();
    hole(id).hasMonkey = false;
    hole(id).state = "";
    hole(id).image2 = "hole";
    if (gameView.state !== "")
        return;

    gameArea.score += score;
    gameView.scoreText = gameArea.score;
    gameArea.clickCount++;
    if (gameArea.gameTimerInterval > FASTEST_INTERVAL && gameArea.clickCount % HITS_PER_SPEED_UP === 0)
        setSpawnInterval(gameArea.gameTimerInterval - SPEED_UP_STEP);
}

function endGame() {
    if (gameArea.score === 0) {
        gameView.state = "gameOver1";
        return;
    }
    writeWaitingScores();
    var qualifies = false;
    try {
        qualifies = scoreQualifies(gameArea.score);
    } catch (error) {
        // A damaged score store must not leave a finished game without its overlay. One that
        // is only held or full for now cannot say no: the score is kept until it can be saved.
        console.warn("High scores unavailable: " + error.message);
        qualifies = isPassing(error);
    }
    gameView.state = qualifies ? "gameOver" : "gameOver1";
}

// Ties go to the scores already stored: ten at least as good keep this one out. Scores
// still waiting to be written count as stored.
function scoreQualifies(score) {
    var atLeastAsGood = unsavedScores().filter(function(unsaved) { return unsaved >= score; }).length;
    scoresTransaction(function(tx) {
        atLeastAsGood += tx.executeSql(SCORES_AT_LEAST, [HOLE_COUNT, score, TOP_LIST_LENGTH]).rows.length;
    });
    return atLeastAsGood < TOP_LIST_LENGTH;
}

// A score the database does not take now is kept and written by a later operation.
function saveHighScore() {
    keepUnsaved(unsavedScores().concat([gameArea.score]));
    writeWaitingScores();
}

// Sent once while the root scene loads, and again by a tap on the overlay's error. Any
// non-empty reply counts as a working data connection; status and content are not looked
// at. The first bytes decide: the network layer hides the bodies of some error statuses
// by the time the request is done, and a body may never end.
function getQuillonAd(ignored) {
    try {
        var request = new XMLHttpRequest();
        request.onreadystatechange = function() {
            text1.text = LOADING_TEXT;
            try {
                if (request.readyState >= XMLHttpRequest.LOADING && request.responseText !== "") {
                    if (request.readyState === XMLHttpRequest.LOADING) {
                        request.onreadystatechange = null;
                        request.abort();
                    }
                    settleProbe();
                    item1.visible = false;
                    advertisement.start();
                } else if (request.readyState === XMLHttpRequest.DONE) {
                    settleProbe();
                    text1.text = CONNECTION_ERROR_TEXT;
                }
            } catch (error) {
            }
        };
        request.open("GET", "http://" + AD_WEB_HOST + "/content.asp?pageid=18");
        // Set before the request goes, so an answer however quick finds the wait to end.
        probeTimer.request = request;
        probeTimer.interval = PROBE_WAIT;
        probeTimer.restart();
        request.send();
    } catch (error) {
        settleProbe();
        text1.text = CONNECTION_FAILED_TEXT;
    }
    return "";
}

// The probe has its answer: nothing is left to give up on.
function settleProbe() {
    probeTimer.stop();
    probeTimer.request = null;
}

// The probe had no answer in time: it ends as a failed connection does, and a tap retries it.
function giveUpProbe() {
    var request = probeTimer.request;
    if (!request)
        return;
    settleProbe();
    request.onreadystatechange = null;
    request.abort();
    text1.text = CONNECTION_ERROR_TEXT;
}

// Only the error that asks to try again is retried, and only when the player taps it.
function retryConnection() {
    if (text1.text === CONNECTION_ERROR_TEXT)
        getQuillonAd(0);
}

// High-score screen: the local top ten and the upload of the best one to the score board.

function getScores() {
    writeWaitingScores();
    var stored = [];
    try {
        scoresTransaction(function(tx) {
            stored = topScores(tx, TOP_LIST_LENGTH).map(function(row) { return row.score; });
        });
    } catch (error) {
        // The buttons that list the scores go on to the screen; it keeps its last listing,
        // with any score of this run that is still waiting to be written.
        console.warn("High scores unavailable: " + error.message);
        if (unsavedScores().length === 0)
            return;
        stored = highScoreView.listedScores;
    }
    highScoreView.listedScores = stored;
    var best = stored.concat(unsavedScores()).sort(function(a, b) { return b - a; }).slice(0, TOP_LIST_LENGTH);
    var listing = "";
    for (var i = 0; i < best.length; ++i)
        listing += (i + 1) + ". " + best[i] + " points.\n";
    highScoreView.highscores = listing;
}

// Text as a browser sends it in a form: a lone half of a surrogate pair, which pasted text
// can hold and which cannot be encoded, becomes U+FFFD.
function wellFormed(text) {
    var result = "";
    for (var i = 0; i < text.length; ++i) {
        var code = text.charCodeAt(i);
        var high = code >= 0xD800 && code <= 0xDBFF;
        var next = i + 1 < text.length ? text.charCodeAt(i + 1) : 0;
        if (high && next >= 0xDC00 && next <= 0xDFFF) {
            result += text.substr(i, 2);
            ++i;
        } else {
            result += code >= 0xD800 && code <= 0xDFFF ? "\uFFFD" : text.charAt(i);
        }
    }
    return result;
}

function formField(name, value) {
    return name + "=" + encodeURIComponent(wellFormed(String(value)));
}

// The outcome is never told apart: any completed request counts as uploaded, and the
// credentials as entered are kept so later visits upload at once.
function uploadScore(username, password) {
    writeWaitingScores();
    var best = null;
    scoresTransaction(function(tx) {
        best = topScores(tx, 1)[0] || null;
    });
    var unsaved = unsavedScores();
    if (unsaved.length > 0 && (best === null || unsaved[0] > best.score))
        best = { name: "", score: unsaved[0] };
    if (best === null)
        return;

    // Older versions of the game saved the empty name as null.
    var name = best.name === null ? "" : best.name;
    var body = [formField("name", name),
                formField("score", best.score),
                formField("gridSize", HOLE_COUNT),
                formField("game", "tamboro"),
                formField("username", username),
                formField("password", password)].join("&");

    var request = new XMLHttpRequest();
    request.onreadystatechange = function() {
        // The reply is never read, not even into a string: its first bytes end the request,
        // which then completes as any other.
        if (request.readyState === XMLHttpRequest.LOADING)
            request.abort();
        if (request.readyState !== XMLHttpRequest.DONE)
            return;
        highScoreView.state = "uploaded";
        highScoreView.username = username;
        highScoreView.password = password;
    };
    request.open("POST", "http://" + SCORE_HOST + "/scores/upload.php");
    request.setRequestHeader("Content-Type", "application/x-www-form-urlencoded");
    request.send(body);
}

// Keyboard and screen readers: a control pressed by a key or by assistive technology acts
// as a tap does, and only when a tap could.

function pressLikeATap(control, action) {
    if (canPress(control))
        action();
}

// Return, Enter and Space press the control that has the keyboard; from the first key on,
// the focus ring shows. Other keys go on to move the focus or to the screen.
function controlKey(event, control, action) {
    gameArea.keysUsed = true;
    if (event.key !== Qt.Key_Return && event.key !== Qt.Key_Enter && event.key !== Qt.Key_Space) {
        event.accepted = false;
        return;
    }
    if (!event.isAutoRepeat)
        pressLikeATap(control, action);
}

// The keyboard goes to the first control of a screen that a tap could press.
function focusFirstControl(screen) {
    screen.nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason);
}

// A field hidden (its form closed, or its screen slid away) gives up the keyboard, so typed
// keys and the number keys never go to what nobody sees; a screen still shown hands it to
// its first control.
function releaseHiddenField(field, screen) {
    if (field.visible || !field.focus)
        return;
    field.focus = false;
    if (screen.visible)
        focusFirstControl(screen);
}

// Keys typed into a field go to it; Return or Enter in one that sends a form presses the
// form's button as a tap does.
function fieldKey(event, sendButton) {
    gameArea.keysUsed = true;
    var isReturn = event.key === Qt.Key_Return || event.key === Qt.Key_Enter;
    if (!sendButton || !isReturn) {
        event.accepted = false;
        return;
    }
    if (!event.isAutoRepeat)
        pressLikeATap(sendButton, sendButton.buttonClicked);
}
