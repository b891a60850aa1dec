// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtQuick.LocalStorage as Sql
import "qrc:/resources/scripts.js" as Game

// Runs the high-score statements through the scene engine's offline storage exactly as
// the game script does: the database opened anew with the same four arguments on every
// call, one read-write transaction, the table created first, the score written into the
// statement text. The ids below stand in for the scene items the game script writes to.
QtObject {
    id: gameArea

    property int score: 0
    property string state: ""
    property QtObject gameView: QtObject {
        id: gameView
        property string state: ""
    }
    property QtObject highScoreView: QtObject {
        id: highScoreView
        property string highscores: ""
    }

    readonly property string createScores: "CREATE TABLE IF NOT EXISTS Scores(name TEXT, score NUMBER, gridSize NUMBER)"

    function open() {
        return Sql.LocalStorage.openDatabaseSync("TamboroScores", "1.0", "Local Tamboro High Scores", 100);
    }

    // A fixed pseudo-random spread of scores, so every run measures the same table.
    property int maxScore: 0

    function fill(rows) {
        let seed = 12345;
        open().transaction(function(tx) {
            tx.executeSql(createScores);
            tx.executeSql("DELETE FROM Scores");
            for (let i = 0; i < rows; ++i) {
                seed = (seed * 1103515245 + 12345) % 2147483648;
                tx.executeSql("INSERT INTO Scores VALUES(?, ?, ?)", ["", 1 + seed % maxScore, 8]);
            }
        });
    }

    function addIndex() {
        open().transaction(function(tx) {
            tx.executeSql("CREATE INDEX IF NOT EXISTS ScoresByBoard ON Scores(gridSize, score)");
        });
    }

    function qualifies(finalScore) {
        let rows = 0;
        open().transaction(function(tx) {
            tx.executeSql(createScores);
            rows = tx.executeSql("SELECT * FROM Scores WHERE gridSize = 8 AND score >= " + finalScore + " LIMIT 10").rows.length;
        });
        return rows < 10;
    }

    function listing() {
        let text = "";
        open().transaction(function(tx) {
            tx.executeSql(createScores);
            const rs = tx.executeSql("SELECT * FROM Scores WHERE gridSize = 8 ORDER BY score desc LIMIT 10");
            for (let i = 0; i < rs.rows.length; ++i)
                text += (i + 1) + ". " + rs.rows.item(i).score.toFixed(0) + " points.\n";
        });
        return text;
    }

    // The game script's own listing, when it has one.
    function hasGameListing() {
        return typeof Game.getScores === "function";
    }

    function gameListing() {
        Game.getScores();
        return highScoreView.highscores;
    }
}
