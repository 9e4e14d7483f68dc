// Draws the splash image, the help icon and the application icon (SVG plus the PNG sizes the desktop's icon
// theme wants). Run it again after changing the design:
//   cmake -S resources/tools -B /tmp/drawresources && cmake --build /tmp/drawresources
//   QT_QPA_PLATFORM=offscreen /tmp/drawresources/drawresources resources
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgGenerator>
#include <QtMath>

#include <algorithm>
#include <cstdio>

namespace {

const QColor deepSea(0x06, 0x2a, 0x45);
const QColor midSea(0x0d, 0x5a, 0x7e);
const QColor shallowSea(0x2b, 0x9c, 0xb8);
const QColor foam(0xe8, 0xf6, 0xfa);

// The crest of a wave across the image: a sum of two sines.
QPainterPath crest(int width, double baseline, double amplitude, double wavelength, double phase) {
    QPainterPath path;
    for (int step = 0;; step += 3) {
        const double x = std::min(step, width);
        const double y = baseline + amplitude * std::sin(2 * M_PI * x / wavelength + phase) +
                         amplitude * 0.35 * std::sin(2 * M_PI * x / (wavelength * 0.43) + phase * 1.7);
        if (step == 0)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
        if (step >= width)
            break;
    }
    return path;
}

// A wave band: the crest filled down to the bottom edge.
QPainterPath wave(int width, int height, double baseline, double amplitude, double wavelength, double phase) {
    QPainterPath path = crest(width, baseline, amplitude, wavelength, phase);
    path.lineTo(width, height);
    path.lineTo(0, height);
    path.closeSubpath();
    return path;
}

QImage drawSplash() {
    constexpr int width = 695;
    constexpr int height = 396;
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0.0, deepSea);
    sky.setColorAt(0.6, midSea);
    sky.setColorAt(1.0, shallowSea);
    p.fillRect(image.rect(), sky);

    // A soft light low on the horizon, as of a rising moon over calm water.
    QRadialGradient glow(QPointF(width * 0.72, height * 0.52), height * 0.55);
    glow.setColorAt(0.0, QColor(255, 255, 255, 70));
    glow.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillRect(image.rect(), glow);

    const struct {
        double baseline, amplitude, wavelength, phase;
        QColor color;
    } bands[] = {
        {height * 0.62, 7, 260, 0.0, QColor(0x3f, 0xb0, 0xc9, 70)},
        {height * 0.70, 9, 330, 1.3, QColor(0x1f, 0x86, 0xa6, 110)},
        {height * 0.80, 11, 410, 2.1, QColor(0x0b, 0x4f, 0x73, 160)},
        {height * 0.90, 8, 300, 3.4, QColor(0x05, 0x2c, 0x47, 210)},
    };
    p.setPen(Qt::NoPen);
    for (const auto &band : bands) {
        p.setBrush(band.color);
        p.drawPath(wave(width, height, band.baseline, band.amplitude, band.wavelength, band.phase));
    }
    // A thin foam line on the first wave.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 90), 1.5));
    p.drawPath(crest(width, height * 0.62, 7, 260, 0.0));

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(72);
    title.setWeight(QFont::Light);
    title.setLetterSpacing(QFont::PercentageSpacing, 104);
    p.setFont(title);
    p.setPen(foam);
    p.drawText(QRect(48, 70, width - 96, 96), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Tidewell"));

    QFont subtitle(QStringLiteral("DejaVu Sans"));
    subtitle.setPixelSize(19);
    p.setFont(subtitle);
    p.setPen(QColor(0xbf, 0xe4, 0xee));
    p.drawText(QRect(52, 160, width - 96, 30), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Live contribution encoder  \u00b7  SRT  \u00b7  RIST"));

    QFont small(QStringLiteral("DejaVu Sans"));
    small.setPixelSize(13);
    p.setFont(small);
    p.setPen(QColor(255, 255, 255, 200));
    p.drawText(QRect(0, height - 34, width - 24, 24), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("Loading\u2026"));
    return image;
}

QImage drawQuestion() {
    constexpr int width = 30;
    constexpr int height = 27;
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF disc(2.5, 1.0, 25.0, 25.0);
    QLinearGradient fill(disc.topLeft(), disc.bottomLeft());
    fill.setColorAt(0.0, shallowSea);
    fill.setColorAt(1.0, midSea);
    p.setBrush(fill);
    p.setPen(QPen(foam, 1.5));
    p.drawEllipse(disc);

    QFont mark(QStringLiteral("DejaVu Sans"));
    mark.setPixelSize(18);
    mark.setBold(true);
    p.setFont(mark);
    p.setPen(Qt::white);
    p.drawText(disc, Qt::AlignCenter, QStringLiteral("?"));
    return image;
}

// The application icon on a square of iconSide: a rounded tile of sea with two waves and a signal rising
// from the crest. Every shape is cut to the tile by path intersection rather than a clip, which SVG
// generators render unevenly.
constexpr int iconSide = 256;
// The desktop's hicolor theme looks for these sizes first.
constexpr int iconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

void drawIcon(QPainter &p) {
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF tileRect(8, 8, iconSide - 16, iconSide - 16);
    QPainterPath tile;
    tile.addRoundedRect(tileRect, 44, 44);

    QLinearGradient sea(0, tileRect.top(), 0, tileRect.bottom());
    sea.setColorAt(0.0, deepSea);
    sea.setColorAt(0.55, midSea);
    sea.setColorAt(1.0, shallowSea);
    p.setPen(Qt::NoPen);
    p.setBrush(sea);
    p.drawPath(tile);

    const struct {
        double baseline, amplitude, wavelength, phase;
        QColor color;
    } bands[] = {
        {iconSide * 0.62, 10, 190, 0.4, QColor(0x3f, 0xb0, 0xc9, 150)},
        {iconSide * 0.76, 12, 230, 2.0, QColor(0x05, 0x2c, 0x47, 220)},
    };
    for (const auto &band : bands) {
        p.setBrush(band.color);
        p.drawPath(
            wave(iconSide, iconSide, band.baseline, band.amplitude, band.wavelength, band.phase).intersected(tile));
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(foam, 9, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(crest(iconSide - 40, iconSide * 0.62, 10, 190, 0.4).translated(20, 0));

    // The signal: a dot on the water and three arcs above it.
    const QPointF source(iconSide * 0.5, iconSide * 0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(foam);
    p.drawEllipse(source, 14, 14);
    p.setBrush(Qt::NoBrush);
    for (int ring = 1; ring <= 3; ++ring) {
        const double radius = 14 + ring * 26;
        p.setPen(QPen(QColor(0xe8, 0xf6, 0xfa, 255 - ring * 45), 11, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(source.x() - radius, source.y() - radius, 2 * radius, 2 * radius), 40 * 16, 100 * 16);
    }
}

bool writeIcons(const QString &folder) {
    QSvgGenerator svg;
    svg.setFileName(folder + QStringLiteral("/tidewell.svg"));
    svg.setSize(QSize(iconSide, iconSide));
    svg.setViewBox(QRect(0, 0, iconSide, iconSide));
    svg.setTitle(QStringLiteral("Tidewell"));
    svg.setDescription(QStringLiteral("Tidewell application icon"));
    {
        QPainter p(&svg);
        drawIcon(p);
    }
    bool ok = QFile::exists(svg.fileName());
    for (const int size : iconSizes) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.scale(double(size) / iconSide, double(size) / iconSide);
        drawIcon(p);
        p.end();
        ok = image.save(folder + QStringLiteral("/tidewell-%1.png").arg(size)) && ok;
    }
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const bool ok = drawSplash().save(folder + QStringLiteral("/loading.png")) &&
                    drawQuestion().save(folder + QStringLiteral("/question.png")) &&
                    writeIcons(folder + QStringLiteral("/icons"));
    if (!ok)
        std::fprintf(stderr, "cannot write the images into %s\n", qPrintable(folder));
    return ok ? 0 : 1;
}
