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
