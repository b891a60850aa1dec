#include "PortraitFit.h"

#include <QMatrix4x4>
#include <QPointer>
#include <QQuickItem>
#include <QQuickView>

#include <algorithm>

namespace {

constexpr qreal SCENE_WIDTH = 480;
constexpr qreal SCENE_HEIGHT = 800;

// A transform rather than x, y and scale: moving the root item would make the view
// resize the window back to the root's size.
class Letterbox : public QQuickTransform {
public:
    explicit Letterbox(QObject *parent)
        : QQuickTransform(parent)
    {
    }

    void fit(const QSizeF &window)
    {
        const qreal scale = std::min(window.width() / SCENE_WIDTH, window.height() / SCENE_HEIGHT);
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

} // namespace

void keepPortrait(QQuickView &view)
{
    view.setColor(Qt::black);
    auto *letterbox = new Letterbox(&view);

    auto attach = [&view, letterbox, fitted = QPointer<QQuickItem>()]() mutable {
        QQuickItem *root = view.rootObject();
        if (!root || fitted == root)
            return;
        fitted = root;
        letterbox->appendToItem(root);
        // Screens waiting beside the stage must not show in the bars.
        root->setClip(true);
        letterbox->fit(view.size());
    };
    auto refit = [&view, letterbox] { letterbox->fit(view.size()); };

    QObject::connect(&view, &QQuickView::statusChanged, letterbox, attach);
    QObject::connect(&view, &QWindow::widthChanged, letterbox, refit);
    QObject::connect(&view, &QWindow::heightChanged, letterbox, refit);
}
