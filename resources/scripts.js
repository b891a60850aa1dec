// The game's rules, navigation, high scores and connection probe. The script keeps no
// state between calls: everything lives in properties of the scene's items, reached by id.

.import QtQuick.LocalStorage as Sql

// Compiled-in addresses; the build fills them in from its configuration.
var AD_WEB_HOST = "@TAMBORO_AD_WEB_HOST@";
var SCORE_HOST = "@TAMBORO_SCORE_HOST@";
var STORE_URL = "@TAMBORO_STORE_URL@";

var CREATE_SCORES = "CREATE TABLE IF NOT EXISTS Scores(name TEXT, score NUMBER, gridSize NUMBER)";

// Every score operation opens the database anew; no handle is kept between calls.
function scoresDatabase() {
    return Sql.LocalStorage.openDatabaseSync("TamboroScores", "1.0", "Local Tamboro High Scores", 100);
}

function setState(state) {
    gameArea.state = state;
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
    scoresDatabase().transaction(function(tx) {
        // Creating the table first lets a database without any saved score list as empty.
        tx.executeSql(CREATE_SCORES);
        var rows = tx.executeSql("SELECT * FROM Scores WHERE gridSize = 8 ORDER BY score desc LIMIT 10").rows;
        for (var i = 0; i < rows.length; ++i)
            listing += (i + 1) + ". " + Math.round(rows.item(i).score) + " points.\n";
    });
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

    var body = [formField("name", best.name),
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
