// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"
#include "LocalService.h"
#include "SceneFixture.h"
#include "tamboro_config.h"

#include <QFile>

#include <memory>

namespace {

const QString uploadPath = QStringLiteral("/scores/upload.php");

const QUrl topList(QStringLiteral("http://" TAMBORO_SCORE_HOST "/highscores/tamboro"));
const QUrl accountPage(QStringLiteral("http://" TAMBORO_SCORE_HOST "/highscores/createaccount/"));

// An item of the high-score screen, or the screen itself.
QQuickItem *item(Scene &scene, const char *id)
{
    QQuickItem *found = qstrcmp(id, "highScoreView") == 0
        ? scene.itemById(QLatin1String(id))
        : scene.itemIn(QStringLiteral("highScoreView"), QLatin1String(id));
    if (!found)
        qFatal("no item %s on the high-score screen", id);
    return found;
}

// Properties of the screen's items, each as "id.name".
QVariantList looks(Scene &scene, const QStringList &properties)
{
    QVariantList values;
    for (const QString &property : properties)
        values += item(scene, qPrintable(property.section('.', 0, 0)))->property(qPrintable(property.section('.', 1)));
    return values;
}

// These return false when the screen did not get where it should, so the test stops there.

// Through "Highscores" on the start screen, past the connection overlay.
bool showScreen(Scene &scene)
{
    scene.evaluate(QStringLiteral("item1.visible = false"));
    scene.tap(scene.itemIn(QStringLiteral("mainView"), QStringLiteral("button2")));
    scene.advance(310);
    return scene.property("highScoreView", "x").toReal() == 0.0;
}

bool goHome(Scene &scene)
{
    scene.tap(item(scene, "homeButton"));
    scene.advance(310);
    return scene.property("gameArea", "state").toString().isEmpty();
}

bool type(Scene &scene, const char *inputId, const QString &text)
{
    QQuickItem *input = item(scene, inputId);
    scene.tap(input);
    if (!input->hasActiveFocus())
        return false;
    for (const QChar character : text)
        QTest::sendKeyEvent(
            QTest::Click, &scene.view(), Qt::Key(character.toUpper().unicode()), QString(character), {});
    return true;
}

bool submitForm(Scene &scene, const QString &username, const QString &password)
{
    scene.tap(item(scene, "uploadButton"));
    if (scene.highScoreState() != QLatin1String("upload") || !type(scene, "usernameInput", username)
        || !type(scene, "passwordInput", password))
        return false;
    scene.tap(item(scene, "uploadScoreButton"));
    return true;
}

} // namespace

class HighScoresTest : public QObject {
    Q_OBJECT

private slots:
    void listingShowsTheBestTenOfThisBoardAndNoScoreUploadsNothing()
    {
        const auto service = startService();
        QVERIFY(service);
        Scene scene;
        scene.dropScores();
        scene.evaluate(QStringLiteral("highScoreView.highscores = 'stale'"));
        // No table (the listing makes one, and the upload finds it gone), then only scores of
        // another board: nothing to list or upload.
        for (const bool otherBoard : { false, true }) {
            if (otherBoard)
                scene.insertScores({ 999 }, 6);
            QVERIFY(showScreen(scene));
            QCOMPARE(looks(scene, { "dialogText.text", "highScoreView.highscores" }),
                (QVariantList { QString(), QString() }));
            if (!otherBoard) {
                QCOMPARE(scene.sqlCount(QStringLiteral("SELECT 1 FROM sqlite_master WHERE sql = 'CREATE TABLE"
                                                       " Scores(name TEXT, score NUMBER, gridSize NUMBER)'")),
                    1);
                QVERIFY(QFile::exists(scene.scoreDatabaseFile()));
                scene.dropScores();
            }
            MessageCatcher log;
            QVERIFY(submitForm(scene, QStringLiteral("ann"), QStringLiteral("pw")));
            log.stop();
            QVERIFY2(log.warnings.isEmpty() && log.worse.isEmpty(), qPrintable((log.warnings + log.worse).join('\n')));
            QVERIFY(!scene.waitFor([&] { return !service->requests(uploadPath).isEmpty(); }, 500));
            QCOMPARE(looks(scene, { "highScoreView.state", "highScoreView.username", "loadingText.opacity" }),
                (QVariantList { "upload", QString(), 1.0 }));
            QVERIFY(goHome(scene));
            QCOMPARE(looks(scene, { "loadingText.opacity" }), QVariantList { 0.0 });
        }

        scene.saveScores({ 40, 7, 120, 95, 3, 61, 95, 18, 250, 2, 33, 70 });
        QVERIFY(showScreen(scene));
        const QString expected = listingOf({ 250, 120, 95, 95, 70, 61, 40, 33, 18, 7 });
        QCOMPARE(looks(scene, { "highScoreView.highscores", "dialogText.text", "dialogText.visible", "title.text" }),
            (QVariantList { expected, expected, true, QStringLiteral("High Scores") }));
    }

    void uploadPostsTheBestStoredScoreAsAnOrderedForm_data()
    {
        // Typed as script text, so a lone half of a surrogate pair can be written; nothing is
        // sent where no score board listens on the compiled-in port.
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("sent");
        // Through the form's fields, or straight into the script.
        QTest::addColumn<bool>("typed");
        // Every value percent-encoded as UTF-8, so the form's own characters stay data.
        for (const bool typed : { false, true })
            QTest::addRow("form characters%s", typed ? " typed" : "")
                << QStringLiteral("Zo\\u00eb & Co=1") << QStringLiteral("a&b=c+d%25e f#\\u00fc%")
                << QByteArray("username=Zo%C3%AB%20%26%20Co%3D1&password=a%26b%3Dc%2Bd%2525e%20f%23%C3%BC%25") << typed;
        // A lone half goes as the replacement character, as a browser sends it.
        QTest::newRow("lone high half in the name") << QStringLiteral("ann\\uD83D") << QStringLiteral("pw")
                                                    << QByteArray("username=ann%EF%BF%BD&password=pw") << false;
        QTest::newRow("lone low half in the password, a whole pair kept")
            << QStringLiteral("\\uD83D\\uDE00") << QStringLiteral("\\uDE00x")
            << QByteArray("username=%F0%9F%98%80&password=%EF%BF%BDx") << false;
        QTest::newRow("refused connection") << QStringLiteral("ann") << QStringLiteral("wrong") << QByteArray() << true;
    }

    void uploadPostsTheBestStoredScoreAsAnOrderedForm()
    {
        QFETCH(QString, username);
        QFETCH(QString, password);
        QFETCH(QByteArray, sent);
        QFETCH(bool, typed);
        QVERIFY(waitForFreePort());
        const auto service = sent.isEmpty() ? nullptr : startService();
        QVERIFY(service || sent.isEmpty());
        Scene scene;
        scene.dropScores();
        scene.saveScores({ 40, 12 });
        // The game writes the empty name itself; older versions left NULL, which reads as empty.
        QCOMPARE(scene.sqlCount(QStringLiteral("SELECT 1 FROM Scores WHERE name IS ''")), 2);
        scene.sql(QStringLiteral("INSERT INTO Scores VALUES(NULL, 95, 8)"));
        scene.insertScores({ 500 }, 10);
        scene.evaluate(QStringLiteral("gameArea.score = 12"));

        const QString name = scene.evaluate(QStringLiteral("'%1'").arg(username)).toString();
        const QString secret = scene.evaluate(QStringLiteral("'%1'").arg(password)).toString();
        if (typed) {
            QVERIFY(showScreen(scene));
            QVERIFY(submitForm(scene, name, secret));
        } else {
            scene.evaluate(QStringLiteral("Game.uploadScore('%1', '%2')").arg(username, password));
        }
        QVERIFY(scene.waitForUploaded());
        QCOMPARE(looks(scene, { "highScoreView.username", "highScoreView.password", "loginPanel.visible" }),
            (QVariantList { name, secret, false }));
        if (!service)
            return;

        QCOMPARE(service->bodies(uploadPath),
            QList<QByteArray> { LocalService::asLogged("name=&score=95&gridSize=8&game=tamboro&" + sent) });
        const QJsonObject upload = service->requests(uploadPath).first();
        QCOMPARE(upload.value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
        // The engine appends the charset of the string body; the media type is the form's.
        QCOMPARE(upload.value(QStringLiteral("headers"))[QStringLiteral("Content-Type")].toString().section(';', 0, 0),
            QStringLiteral("application/x-www-form-urlencoded"));
    }

    void formUploadsUntilANameIsKeptThenVisitsUploadAtOnce()
    {
        UrlCatcher browser;
        const auto service = startService();
        QVERIFY(service);
        Scene scene;
        scene.dropScores();
        scene.saveScores({ 30 });
        QVERIFY(showScreen(scene));
        const auto uploadsCame
            = [&](int count) { return scene.waitFor([&] { return service->requests(uploadPath).size() == count; }); };
        // The form's buttons lie faded out under the list, and the upload button once uploaded.
        const auto tapHiddenButtons = [&] {
            scene.tap(item(scene, "uploadScoreButton"));
            scene.tap(item(scene, "getAccountButton"));
        };
        tapHiddenButtons();
        QCOMPARE(looks(scene, { "highScoreView.state", "loadingText.opacity" }), (QVariantList { QString(), 0.0 }));
        QVERIFY(browser.opened.isEmpty());
        scene.tap(item(scene, "topListButton"));
        QCOMPARE(browser.opened, QList<QUrl> { topList });

        // An upload without a name goes, but the next visit opens the form again.
        QVERIFY(submitForm(scene, QString(), QStringLiteral("kept")));
        QVERIFY(scene.waitForUploaded());
        QCOMPARE(service->bodies(uploadPath),
            QList<QByteArray> {
                LocalService::asLogged("name=&score=30&gridSize=8&game=tamboro&username=&password=kept") });
        tapHiddenButtons();
        scene.tap(item(scene, "uploadButton"));
        QCOMPARE(scene.highScoreState(), QStringLiteral("uploaded"));
        QCOMPARE(browser.opened.size(), 1);
        QVERIFY(goHome(scene));
        QVERIFY(showScreen(scene));
        QVERIFY(service->reset(QStringLiteral("upload=hold")));
        scene.tap(item(scene, "uploadButton"));
        // The form's two buttons say which one sends the score.
        QCOMPARE(looks(scene,
                     { "highScoreView.state", "loginPanel.visible", "loginPanel.opacity", "loginPanel.radius",
                         "dialogText.visible", "uploadButton.visible", "topListButton.visible", "usernameInput.text",
                         "passwordInput.text", "usernameLabel.visible", "passwordLabel.visible", "passwordLabel.y",
                         "uploadScoreButton.buttonText", "getAccountButton.buttonText" }),
            (QVariantList { "upload", true, 0.5, 60.0, false, false, false, QString(), "kept", true, true, 244.0,
                "Upload score", "Get account" }));
        QCOMPARE(item(scene, "passwordInput")->property("echoMode").toInt(), 2);
        QCOMPARE(item(scene, "usernameBox")->property("y").toReal() + 22.2, 222.0 - 100);
        scene.tap(item(scene, "getAccountButton"));
        QCOMPARE(browser.opened, QList<QUrl>({ topList, accountPage }));

        QVERIFY(type(scene, "usernameInput", QStringLiteral("ann")));
        scene.tap(item(scene, "uploadScoreButton"));
        QVERIFY(uploadsCame(2));
        QCOMPARE(looks(scene, { "highScoreView.state", "loadingText.opacity", "loadingText.y" }),
            (QVariantList { "upload", 1.0, 330.0 }));
        QVERIFY(service->reset());
        QVERIFY(scene.waitForUploaded());
        QCOMPARE(looks(scene,
                     { "highScoreView.username", "highScoreView.password", "loginPanel.visible", "dialogText.visible",
                         "loadingText.visible", "uploadButton.visible", "uploadButton.opacity" }),
            (QVariantList { "ann", "kept", false, true, false, true, 0.0 }));

        // The home button leaves the screen's own state alone; the next visit uploads at once.
        QVERIFY(goHome(scene));
        QCOMPARE(scene.highScoreState(), QStringLiteral("uploaded"));
        QVERIFY(service->reset(QStringLiteral("upload=hold")));
        QVERIFY(showScreen(scene));
        QCOMPARE(looks(scene, { "highScoreView.state", "loadingText.opacity" }), (QVariantList { QString(), 0.0 }));
        scene.tap(item(scene, "uploadButton"));
        QCOMPARE(scene.highScoreState(), QString());
        QVERIFY(uploadsCame(3));
        QCOMPARE(looks(scene, { "loadingText.opacity", "loadingText.y" }), (QVariantList { 1.0, 544.0 }));
        QCOMPARE(service->bodies(uploadPath).last(),
            LocalService::asLogged("name=&score=30&gridSize=8&game=tamboro&username=ann&password=kept"));
        QVERIFY(service->reset());
        QVERIFY(scene.waitForUploaded());
        QVERIFY(goHome(scene));
        QVERIFY(showScreen(scene));
        QCOMPARE(looks(scene, { "loadingText.opacity" }), QVariantList { 0.0 });
        QCOMPARE(service->requests(uploadPath).size(), 3);
    }
};

TAMBORO_TEST_MAIN(HighScoresTest)
#include "tst_highscores.moc"
