// The game's rules, navigation, high scores and connection probe. The script keeps no
// state between calls: everything lives in properties of the scene's items, reached by id.

.import QtQuick.LocalStorage as Sql

// Compiled-in addresses; the build fills them in from its configuration.
var AD_WEB_HOST = "@TAMBORO_AD_WEB_HOST@";
var SCORE_HOST = "@TAMBORO_SCORE_HOST@";
var STORE_URL = "@TAMBORO_STORE_URL@";

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

// Numbers of the free holes, rebuilt by getSize() whenever it is needed.
var blocks = [];

var CREATE_SCORES = "CREATE TABLE IF NOT EXISTS Scores(name TEXT, score NUMBER, gridSize NUMBER)";

// Every score operation opens the database anew; no handle is kept between calls.
function scoresDatabase() {
    return Sql.LocalStorage.openDatabaseSync("TamboroScores", "1.0", "Local Tamboro High Scores", 100);
}

function setState(state) {
    gameArea.state = state;
}

// Whether a finger could press this control now: shown, not faded out, not disabled (a
// screen is, while it slides) and not under the connection overlay. A key that stands for
// a control acts only when this holds.
function canPress(control) {
    if (!control.visible || !control.enabled)
        return false;
    for (var item = control; item; item = item.parent) {
        if (item.opacity <= 0)
            return false;
    }
    if (!item1.visible)
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
    var qualifies = false;
    try {
        qualifies = scoreQualifies(gameArea.score);
    } catch (error) {
        // A damaged score store must not leave a finished game without its overlay.
        console.warn("High scores unavailable: " + error.message);
    }
    gameView.state = qualifies ? "gameOver" : "gameOver1";
}

// Ties go to the scores already stored: ten at least as good keep this one out.
function scoreQualifies(score) {
    var atLeastAsGood = 0;
    scoresDatabase().transaction(function(tx) {
        tx.executeSql(CREATE_SCORES);
        atLeastAsGood = tx.executeSql("SELECT * FROM Scores WHERE gridSize = " + HOLE_COUNT
                                      + " AND score >= " + score + " LIMIT " + TOP_LIST_LENGTH).rows.length;
    });
    return atLeastAsGood < TOP_LIST_LENGTH;
}

function saveHighScore() {
    scoresDatabase().transaction(function(tx) {
        tx.executeSql(CREATE_SCORES);
        tx.executeSql("INSERT INTO Scores VALUES(?, ?, ?)", ["", gameArea.score, HOLE_COUNT]);
    });
}

// Sent once while the root scene loads. Any non-empty reply counts as a working data
// connection; status and content are not looked at.
function getQuillonAd(ignored) {
    try {
        var request = new XMLHttpRequest();
        request.onreadystatechange = function() {
            text1.text = "Loading, please wait";
            if (request.readyState !== XMLHttpRequest.DONE)
                return;
            try {
                if (request.responseText === "") {
                    text1.text = "Network connection error, please try again.";
                } else {
                    item1.visible = false;
                    advertisement.start();
                }
            } catch (error) {
            }
        };
        request.open("GET", "http://" + AD_WEB_HOST + "/content.asp?pageid=18");
        request.send();
    } catch (error) {
        text1.text = "Network connection failed";
    }
    return "";
}

// High-score screen: the local top ten and the upload of the best one to the score board.

function getScores() {
    var listing = "";
    try {
        scoresDatabase().transaction(function(tx) {
            // Creating the table first lets a database without any saved score list as empty.
            tx.executeSql(CREATE_SCORES);
            var rows = tx.executeSql("SELECT * FROM Scores WHERE gridSize = " + HOLE_COUNT
                                     + " ORDER BY score desc LIMIT " + TOP_LIST_LENGTH).rows;
            for (var i = 0; i < rows.length; ++i)
                listing += (i + 1) + ". " + Math.round(rows.item(i).score) + " points.\n";
        });
    } catch (error) {
        // The buttons that list the scores go on to the screen; it keeps its last listing.
        console.warn("High scores unavailable: " + error.message);
        return;
    }
    highScoreView.highscores = listing;
}

function formField(name, value) {
    return name + "=" + encodeURIComponent(value);
}

// The outcome is never told apart: any completed request counts as uploaded, and the
// credentials as entered are kept so later visits upload at once.
function uploadScore(username, password) {
    var best = null;
    scoresDatabase().transaction(function(tx) {
        var rows = tx.executeSql("SELECT * FROM Scores WHERE gridSize = 8 ORDER BY score desc LIMIT 1").rows;
        if (rows.length > 0)
            best = rows.item(0);
    });
    if (best === null)
        return;

    // The storage hands back the empty name the game saves as null.
    var name = best.name === null ? "" : best.name;
    var body = [formField("name", name),
                formField("score", Math.round(best.score)),
                formField("gridSize", 8),
                formField("game", "tamboro"),
                formField("username", username),
                formField("password", password)].join("&");

    var request = new XMLHttpRequest();
    request.onreadystatechange = function() {
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
