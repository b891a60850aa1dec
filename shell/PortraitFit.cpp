// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortraitFit.h"

#include <QFile>
#include <QMatrix4x4>
#include <QPointer>
#include <QQmlAbstractUrlInterceptor>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>

#include <algorithm>
#include <memory>

namespace {

constexpr qreal SCENE_WIDTH = 480;
constexpr qreal SCENE_HEIGHT = 800;
// Screen pixels per scene pixel above which a 1x picture would be stretched.
constexpr qreal SHARP_FROM = 1.0;

// A transform rather than x, y and scale: moving the root item would make the view
// resize the window back to the root's size.
class Letterbox : public QQuickTransform {
public:
    explicit Letterbox(QObject *parent)
        : QQuickTransform(parent)
    {
    }

    qreal scale() const { return m_scale; }

    void fit(const QSizeF &window)
    {
        const qreal scale = portraitScale(window);
        if (scale <= 0)
            return;
        m_scale = scale;
        m_offset = QPointF((window.width() - SCENE_WIDTH * scale) / 2, (window.height() - SCENE_HEIGHT * scale) / 2);
        update();
    }

    void applyTo(QMatrix4x4 *matrix) const override
    {
        matrix->translate(float(m_offset.x()), float(m_offset.y()));
        matrix->scale(float(m_scale));
    }

private:
    qreal m_scale = 1;
    QPointF m_offset;
};

// Points every picture the scene names at its "@2x" file. Qt picks those files by the
// screen's pixel ratio alone and never sees the letterbox, so a 1920x1080 screen would
// show the 1x pictures stretched to 1.35x.
class SharpPictures : public QQmlAbstractUrlInterceptor {
public:
    QUrl intercept(const QUrl &url, DataType type) override
    {
        if (type != UrlString || url.scheme() != QLatin1String("qrc"))
            return url;
        const QString path = url.path();
        const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
        if (dot < 0 || path.lastIndexOf(QLatin1Char('/')) > dot || path.left(dot).endsWith(QLatin1String("@2x")))
            return url;
        const QString sharp = path.left(dot) + QLatin1String("@2x") + path.mid(dot);
        if (!QFile::exists(QLatin1Char(':') + sharp))
            return url;
        QUrl result = url;
        result.setPath(sharp);
        return result;
    }
};

// Until the scene is first drawn above 1:1 nothing is intercepted, so a 480x800 screen
// loads exactly what it always did. From then on the sharper files stay, also if the
// window shrinks again: they only cost memory there.
class PictureDensity : public QObject {
public:
    PictureDensity(QQuickView &view, Letterbox *letterbox)
        : QObject(letterbox)
        , m_view(view)
        , m_engine(view.engine())
        , m_letterbox(letterbox)
    {
    }

    ~PictureDensity() override
    {
        // The view's engine usually goes first, and takes no interceptor with it.
        if (m_sharp && m_engine)
            m_engine->removeUrlInterceptor(m_sharp.get());
    }

    void follow()
    {
        if (m_sharp || m_letterbox->scale() * m_view.effectiveDevicePixelRatio() <= SHARP_FROM)
            return;
        m_sharp = std::make_unique<SharpPictures>();
        m_engine->addUrlInterceptor(m_sharp.get());
        if (QQuickItem *root = m_view.rootObject())
            reload(root);
    }

private:
    // Pictures already shown were resolved before; later ones (a pressed button, a
    // monkey's face) pass the interceptor as the scene names them.
    void reload(QQuickItem *root)
    {
        const QList<QQuickItem *> items = root->findChildren<QQuickItem *>();
        for (QQuickItem *item : items) {
            if (!item->inherits("QQuickImageBase"))
                continue;
            const QUrl source = item->property("source").toUrl();
            QQmlContext *context = qmlContext(item);
            if (source.isEmpty() || !context)
                continue;
            const QUrl sharp = m_sharp->intercept(context->resolvedUrl(source), QQmlAbstractUrlInterceptor::UrlString);
            // A write from C++ leaves the item's binding in place for its next change.
            if (sharp != source)
                item->setProperty("source", sharp);
        }
    }

    QQuickView &m_view;
    QPointer<QQmlEngine> m_engine;
    Letterbox *m_letterbox;
    std::unique_ptr<SharpPictures> m_sharp;
};

} // namespace

QSize portraitSceneSize()
{
    return QSize(int(SCENE_WIDTH), int(SCENE_HEIGHT));
}

qreal portraitScale(const QSizeF &window)
{
    return std::min(window.width() / SCENE_WIDTH, window.height() / SCENE_HEIGHT);
}

void keepPortrait(QQuickView &view)
{
    view.setColor(Qt::black);
    auto *letterbox = new Letterbox(&view);
    auto *density = new PictureDensity(view, letterbox);

    auto refit = [&view, letterbox, density] {
        letterbox->fit(view.size());
        density->follow();
    };
    auto attach = [&view, letterbox, refit, fitted = QPointer<QQuickItem>()]() mutable {
        QQuickItem *root = view.rootObject();
        if (!root || fitted == root)
            return;
        fitted = root;
        letterbox->appendToItem(root);
        // Screens waiting beside the stage must not show in the bars.
        root->setClip(true);
        refit();
    };

    QObject::connect(&view, &QQuickView::statusChanged, letterbox, attach);
    QObject::connect(&view, &QWindow::widthChanged, letterbox, refit);
    QObject::connect(&view, &QWindow::heightChanged, letterbox, refit);
    QObject::connect(&view, &QWindow::screenChanged, density, &PictureDensity::follow);
    // A screen that already doubles every pixel needs the sharp pictures from the first one.
    density->follow();
    attach();
}
