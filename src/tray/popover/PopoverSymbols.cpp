#include "tray/popover/PopoverSymbols.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <array>

namespace tvrn::PopoverSymbols {
namespace {

// The drawings, each on a 16 x 16 grid.
enum class Shape {
  dot,
  warning,
  circleCross,
  circleBang,
  circleQuestion,
  circleCheck,
  circleArrowUp,
  circleArrows,
  arrowClockwise,
  cross,
  check,
  chevron,
  lock,
  key,
  cloud,
  megaphone,
  envelope,
  calendar,
  people,
  checklist,
  note,
  bubble,
  compass,
  folder,
  hash,
  shield,
  gear,
  globe,
  terminal,
  pointer,
  wind,
  code,
  letterZ,
};

struct Symbol {
  std::string_view name;
  Shape shape;
};

constexpr std::array<Symbol, 41> kSymbols{{
    {"hand.raised.fill", Shape::warning},
    {"xmark.circle.fill", Shape::circleCross},
    {"exclamationmark.circle.fill", Shape::circleBang},
    {"questionmark.circle.fill", Shape::circleQuestion},
    {"lock.trianglebadge.exclamationmark.fill", Shape::lock},
    {"arrow.triangle.2.circlepath.circle.fill", Shape::circleArrows},
    {"xmark", Shape::cross},
    {"arrow.clockwise", Shape::arrowClockwise},
    {"key.horizontal.fill", Shape::key},
    {"cloud", Shape::cloud},
    {"exclamationmark.triangle", Shape::warning},
    {"questionmark.circle", Shape::circleQuestion},
    {"chevron.right", Shape::chevron},
    {"megaphone", Shape::megaphone},
    {"circle.fill", Shape::dot},
    {"envelope", Shape::envelope},
    {"calendar", Shape::calendar},
    {"person.2", Shape::people},
    {"checklist", Shape::checklist},
    {"note.text", Shape::note},
    {"message", Shape::bubble},
    {"safari", Shape::compass},
    {"folder", Shape::folder},
    {"checkmark.circle", Shape::circleCheck},
    {"bubble.left.and.bubble.right", Shape::bubble},
    {"number", Shape::hash},
    {"shield.lefthalf.filled", Shape::shield},
    {"envelope.badge", Shape::envelope},
    {"message.badge", Shape::bubble},
    {"exclamationmark.triangle.fill", Shape::warning},
    {"arrow.clockwise.circle.fill", Shape::circleArrows},
    {"arrow.up.circle.fill", Shape::circleArrowUp},
    {"gear", Shape::gear},
    {"checkmark.circle.fill", Shape::circleCheck},
    {"checkmark", Shape::check},
    {"globe", Shape::globe},
    {"terminal", Shape::terminal},
    {"cursorarrow.rays", Shape::pointer},
    {"wind", Shape::wind},
    {"chevron.left.forwardslash.chevron.right", Shape::code},
    {"z.square", Shape::letterZ},
}};

const Symbol* find(std::string_view name) {
  for (const auto& symbol : kSymbols) {
    if (symbol.name == name) return &symbol;
  }
  return nullptr;
}

QPainterPath circle(qreal radius = 6.5) {
  QPainterPath path;
  path.addEllipse(QPointF(8, 8), radius, radius);
  return path;
}

QPainterPath polyline(std::initializer_list<QPointF> points) {
  QPainterPath path;
  for (const auto& point : points) {
    if (path.elementCount() == 0) {
      path.moveTo(point);
    } else {
      path.lineTo(point);
    }
  }
  return path;
}

// Open outlines side by side (a union would close them).
QPainterPath joined(std::initializer_list<QPainterPath> parts) {
  QPainterPath all;
  for (const auto& part : parts) all.addPath(part);
  return all;
}

// An arc of the circle about the centre, from one angle through a span (degrees,
// counter-clockwise).
QPainterPath arc(qreal radius, qreal from, qreal span) {
  QPainterPath path;
  const QRectF box(8 - radius, 8 - radius, 2 * radius, 2 * radius);
  path.arcMoveTo(box, from);
  path.arcTo(box, from, span);
  return path;
}

void stroke(QPainter& painter, const QPainterPath& path, qreal width = 1.5) {
  QPen pen(painter.brush().color(), width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  painter.strokePath(path, pen);
}

// A filled circle with a mark cut out of it in the background's transparency.
void badgeCircle(QPainter& painter, const QPainterPath& mark, qreal markWidth = 1.6) {
  painter.fillPath(circle(7), painter.brush());
  painter.setCompositionMode(QPainter::CompositionMode_Clear);
  QPen pen(Qt::black, markWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  painter.strokePath(mark, pen);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

QPainterPath bang(qreal top, qreal bottom) {
  QPainterPath path = polyline({{8, top}, {8, bottom - 3}});
  path.moveTo(8, bottom);
  path.lineTo(8, bottom + 0.01);
  return path;
}

void draw(QPainter& p, Shape shape) {
  switch (shape) {
    case Shape::dot:
      p.fillPath(circle(4), p.brush());
      return;
    case Shape::warning: {
      p.fillPath(polyline({{8, 1.5}, {15, 14.5}, {1, 14.5}, {8, 1.5}}), p.brush());
      p.setCompositionMode(QPainter::CompositionMode_Clear);
      p.strokePath(bang(6, 12.3), QPen(Qt::black, 1.6, Qt::SolidLine, Qt::RoundCap));
      p.setCompositionMode(QPainter::CompositionMode_SourceOver);
      return;
    }
    case Shape::circleCross:
      return badgeCircle(
          p, joined({polyline({{5.5, 5.5}, {10.5, 10.5}}), polyline({{10.5, 5.5}, {5.5, 10.5}})}));
    case Shape::circleBang:
      return badgeCircle(p, bang(4.5, 11.5));
    case Shape::circleQuestion: {
      QPainterPath mark;
      mark.moveTo(6, 6.2);
      mark.cubicTo(6, 3.8, 10.2, 3.8, 10.2, 6.2);
      mark.cubicTo(10.2, 7.8, 8, 7.8, 8, 9.4);
      mark.moveTo(8, 11.8);
      mark.lineTo(8, 11.81);
      return badgeCircle(p, mark);
    }
    case Shape::circleCheck:
      return badgeCircle(p, polyline({{5, 8.2}, {7.2, 10.4}, {11, 5.8}}));
    case Shape::circleArrowUp:
      return badgeCircle(p, joined({polyline({{8, 11.5}, {8, 4.8}}),
                                    polyline({{5.3, 7.4}, {8, 4.8}, {10.7, 7.4}})}));
    case Shape::circleArrows:
      return badgeCircle(
          p, joined({arc(3.6, 100, 250), polyline({{6.2, 3.2}, {8.2, 4.4}, {6.8, 6.2}})}));
    case Shape::arrowClockwise:
      stroke(p, arc(5.5, 110, 280));
      stroke(p, polyline({{4.4, 1.8}, {6.6, 2.9}, {5.2, 5.1}}));
      return;
    case Shape::cross:
      stroke(p,
             joined({polyline({{3.5, 3.5}, {12.5, 12.5}}), polyline({{12.5, 3.5}, {3.5, 12.5}})}),
             1.8);
      return;
    case Shape::check:
      stroke(p, polyline({{2.5, 8.5}, {6.2, 12}, {13.5, 4}}), 1.8);
      return;
    case Shape::chevron:
      stroke(p, polyline({{5.5, 2.5}, {11, 8}, {5.5, 13.5}}), 1.8);
      return;
    case Shape::lock: {
      QPainterPath body;
      body.addRoundedRect(QRectF(2.5, 7, 11, 8), 1.5, 1.5);
      p.fillPath(body, p.brush());
      QPainterPath shackle = polyline({{11, 7}, {11, 4.5}});
      shackle.arcTo(QRectF(5, 1.5, 6, 6), 0, 180);
      shackle.lineTo(5, 7);
      stroke(p, shackle);
      return;
    }
    case Shape::key: {
      QPainterPath bow;
      bow.addEllipse(QPointF(4.5, 8), 3, 3);
      stroke(p, bow);
      stroke(p, joined({polyline({{7.5, 8}, {14.5, 8}}), polyline({{12, 8}, {12, 10.5}}),
                        polyline({{14.5, 8}, {14.5, 10.5}})}));
      return;
    }
    case Shape::cloud: {
      QPainterPath path;
      path.addEllipse(QPointF(5.5, 9.5), 3.3, 3.3);
      path.addEllipse(QPointF(9, 7), 4, 4);
      path.addEllipse(QPointF(12, 10), 2.8, 2.8);
      path.addRect(QRectF(5.5, 9.5, 6.5, 3.3));
      stroke(p, path.simplified(), 1.3);
      return;
    }
    case Shape::megaphone: {
      QPainterPath horn = polyline({{2, 6}, {6, 6}, {13, 2.5}, {13, 13.5}, {6, 10}, {2, 10}});
      horn.closeSubpath();
      p.fillPath(horn, p.brush());
      stroke(p, polyline({{5, 10}, {6.5, 14}}));
      return;
    }
    case Shape::envelope: {
      QPainterPath box;
      box.addRoundedRect(QRectF(1.5, 3.5, 13, 9), 1.5, 1.5);
      stroke(p, joined({box, polyline({{2, 4.5}, {8, 9}, {14, 4.5}})}), 1.3);
      return;
    }
    case Shape::calendar: {
      QPainterPath box;
      box.addRoundedRect(QRectF(2, 3, 12, 11), 1.5, 1.5);
      stroke(p,
             joined({box, polyline({{2, 6.5}, {14, 6.5}}), polyline({{5, 1.5}, {5, 4}}),
                     polyline({{11, 1.5}, {11, 4}})}),
             1.3);
      return;
    }
    case Shape::people: {
      QPainterPath heads;
      heads.addEllipse(QPointF(5.5, 5), 2.3, 2.3);
      heads.addEllipse(QPointF(11, 5.5), 2, 2);
      p.fillPath(heads, p.brush());
      QPainterPath bodies;
      bodies.addRoundedRect(QRectF(1.5, 8.5, 8, 6), 3, 3);
      bodies.addRoundedRect(QRectF(8.5, 9, 6.5, 5.5), 2.5, 2.5);
      p.fillPath(bodies, p.brush());
      return;
    }
    case Shape::checklist:
      stroke(p,
             joined({polyline({{1.5, 4}, {2.8, 5.3}, {5, 2.8}}),
                     polyline({{1.5, 10}, {2.8, 11.3}, {5, 8.8}}), polyline({{7.5, 4}, {14.5, 4}}),
                     polyline({{7.5, 10}, {14.5, 10}})}),
             1.3);
      return;
    case Shape::note: {
      QPainterPath page;
      page.addRoundedRect(QRectF(2.5, 1.5, 11, 13), 1.5, 1.5);
      stroke(p,
             joined({page, polyline({{5, 5.5}, {11, 5.5}}), polyline({{5, 8.5}, {11, 8.5}}),
                     polyline({{5, 11.5}, {9, 11.5}})}),
             1.2);
      return;
    }
    case Shape::bubble: {
      QPainterPath path;
      path.addRoundedRect(QRectF(1.5, 2, 13, 9.5), 4, 4);
      path.moveTo(4, 10);
      path.lineTo(3, 14.5);
      path.lineTo(8, 11);
      p.fillPath(path.simplified(), p.brush());
      return;
    }
    case Shape::compass: {
      stroke(p, circle(6.5), 1.3);
      QPainterPath needle = polyline({{10.8, 5.2}, {9, 9}, {5.2, 10.8}, {7, 7}});
      needle.closeSubpath();
      p.fillPath(needle, p.brush());
      return;
    }
    case Shape::folder: {
      QPainterPath path =
          polyline({{1.5, 3}, {6, 3}, {7.5, 4.8}, {14.5, 4.8}, {14.5, 13}, {1.5, 13}});
      path.closeSubpath();
      p.fillPath(path, p.brush());
      return;
    }
    case Shape::hash:
      stroke(p,
             joined({polyline({{6, 2}, {4.8, 14}}), polyline({{11.2, 2}, {10, 14}}),
                     polyline({{2.5, 5.5}, {14, 5.5}}), polyline({{2, 10.5}, {13.5, 10.5}})}),
             1.4);
      return;
    case Shape::shield: {
      QPainterPath outline;
      outline.moveTo(8, 1.5);
      outline.lineTo(14, 3.5);
      outline.cubicTo(14, 9.5, 11.5, 12.5, 8, 14.5);
      outline.cubicTo(4.5, 12.5, 2, 9.5, 2, 3.5);
      outline.closeSubpath();
      stroke(p, outline, 1.3);
      QPainterPath half;
      half.moveTo(8, 1.5);
      half.lineTo(2, 3.5);
      half.cubicTo(2, 9.5, 4.5, 12.5, 8, 14.5);
      half.closeSubpath();
      p.fillPath(half, p.brush());
      return;
    }
    case Shape::gear: {
      QPainterPath teeth;
      for (int tooth = 0; tooth < 8; ++tooth) {
        QTransform turn;
        turn.translate(8, 8);
        turn.rotate(45.0 * tooth);
        QPainterPath one;
        one.addRect(QRectF(-1.4, -7.2, 2.8, 3));
        teeth.addPath(turn.map(one));
      }
      teeth.addPath(circle(5));
      QPainterPath hole = circle(2);
      p.fillPath(teeth.simplified().subtracted(hole), p.brush());
      return;
    }
    case Shape::globe: {
      QPainterPath lines = circle(6.5);
      lines.addEllipse(QPointF(8, 8), 2.8, 6.5);
      lines.moveTo(1.5, 8);
      lines.lineTo(14.5, 8);
      lines.moveTo(2.6, 4.6);
      lines.lineTo(13.4, 4.6);
      lines.moveTo(2.6, 11.4);
      lines.lineTo(13.4, 11.4);
      stroke(p, lines, 1.1);
      return;
    }
    case Shape::terminal: {
      QPainterPath box;
      box.addRoundedRect(QRectF(1.5, 2.5, 13, 11), 2, 2);
      stroke(p,
             joined({box, polyline({{4.5, 6}, {6.8, 8}, {4.5, 10}}),
                     polyline({{8, 10.5}, {11.5, 10.5}})}),
             1.3);
      return;
    }
    case Shape::pointer: {
      QPainterPath arrow = polyline({{6.5, 6.5},
                                     {6.5, 14.5},
                                     {8.6, 12.4},
                                     {10.2, 15.3},
                                     {11.6, 14.6},
                                     {10, 11.7},
                                     {13, 11.5}});
      arrow.closeSubpath();
      p.fillPath(arrow, p.brush());
      stroke(p,
             joined({polyline({{6.5, 1.5}, {6.5, 3.5}}), polyline({{1.5, 6.5}, {3.5, 6.5}}),
                     polyline({{3, 3}, {4.4, 4.4}}), polyline({{10, 3}, {8.6, 4.4}}),
                     polyline({{3, 10}, {4.4, 8.6}})}),
             1.2);
      return;
    }
    case Shape::wind: {
      QPainterPath gusts = polyline({{1.5, 5.5}, {10, 5.5}});
      gusts.cubicTo(13.5, 5.5, 13.5, 1.5, 10.5, 2);
      gusts.moveTo(1.5, 8.5);
      gusts.lineTo(12.5, 8.5);
      gusts.cubicTo(15.8, 8.5, 15.5, 12.8, 12.3, 12.2);
      gusts.moveTo(1.5, 11.5);
      gusts.lineTo(7, 11.5);
      stroke(p, gusts, 1.3);
      return;
    }
    case Shape::code:
      stroke(p,
             joined({polyline({{5, 4}, {1.5, 8}, {5, 12}}),
                     polyline({{11, 4}, {14.5, 8}, {11, 12}}), polyline({{9.5, 3}, {6.5, 13}})}),
             1.4);
      return;
    case Shape::letterZ: {
      QPainterPath box;
      box.addRoundedRect(QRectF(1.5, 1.5, 13, 13), 3, 3);
      stroke(p, joined({box, polyline({{5, 5}, {11, 5}, {5, 11}, {11, 11}})}), 1.3);
      return;
    }
  }
}

// Paints the drawing at any size, so the icon stays sharp on every screen.
class DrawnEngine final : public QIconEngine {
 public:
  DrawnEngine(Shape shape, QColor color) : shape_(shape), color_(std::move(color)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    QColor color = color_;
    if (mode == QIcon::Disabled) color.setAlphaF(color.alphaF() * 0.4);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(rect.width(), rect.height());
    painter->translate(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2);
    painter->scale(side / 16.0, side / 16.0);
    painter->setBrush(color);
    painter->setPen(Qt::NoPen);
    draw(*painter, shape_);
    painter->restore();
  }

  // Drawn into a transparent image of its own, so the drawing's cut-outs stay its own.
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    painter.end();
    return QPixmap::fromImage(image);
  }

  QIconEngine* clone() const override { return new DrawnEngine(shape_, color_); }
  QString key() const override { return QStringLiteral("tvrn-drawn"); }

 private:
  Shape shape_;
  QColor color_;
};

}  // namespace

QIcon icon(std::string_view name, const QColor& color) {
  const Symbol* symbol = find(name);
  return QIcon(new DrawnEngine(symbol ? symbol->shape : Shape::dot, color));
}

}  // namespace tvrn::PopoverSymbols
