#include "app/ui/qt/form_widgets.h"

#include <QApplication>
#include <QComboBox>
#include <algorithm>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QValidator>

#include "app/model/preset_model.h"
#include "app/ui/main_presenter.h"

namespace presets::ui::qt {

QString ToQ(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string FromQ(const QString& text) { return text.toStdString(); }

QRect PixelRect(const Twips& t) {
  return {TwipsToPixels(t.left), TwipsToPixels(t.top), TwipsToPixels(t.width), TwipsToPixels(t.height)};
}

namespace {

// Every edit by the user passes the validator, whichever way it came; a text
// the program set (the box not modified since) is taken whole.
class TypedLimit final : public QValidator {
 public:
  TypedLimit(int limit, QLineEdit* edit)
      : QValidator(edit), edit_(*edit), limit_(static_cast<size_t>(limit)), length_(edit->text().size()) {
    // Validation comes before the change is announced, so this is the
    // length before the edit.
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { length_ = text.size(); });
  }

  State validate(QString& input, int& position) const override {
    if (!edit_.isModified()) return Acceptable;
    const size_t kept = TypedLengthKept(static_cast<size_t>(length_), static_cast<size_t>(input.size()), limit_);
    const qsizetype drop = input.size() - static_cast<qsizetype>(kept);
    if (drop > 0) {
      // The inserted text ends at the cursor: its tail is what does not fit.
      const qsizetype from = std::max<qsizetype>(0, position - drop);
      input.remove(from, drop);
      position = static_cast<int>(from);
    }
    return Acceptable;
  }

 private:
  QLineEdit& edit_;
  size_t limit_;
  qsizetype length_;
};

}  // namespace

LimitedLineEdit::LimitedLineEdit(int limit, QWidget* parent) : QLineEdit(parent) {
  setValidator(new TypedLimit(limit, this));
}

void ApplyApplicationLook(QApplication& app) {
  QApplication::setStyle(QStringLiteral("Fusion"));
  app.setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
}

QPixmap BannerPicture() {
  QPixmap picture(210, 83);
  QPainter painter(&picture);
  QLinearGradient sky(0, 0, 0, 83);
  sky.setColorAt(0, QColor(18, 40, 92));
  sky.setColorAt(1, QColor(70, 120, 190));
  painter.fillRect(picture.rect(), sky);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(240, 180, 60));
  painter.drawEllipse(QPoint(186, 20), 12, 12);
  // The main window's "Camera Operations" frame covers the banner below
  // 40 pixels and right of 96: the name runs above it, the model beside it.
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(20);
  painter.setFont(font);
  painter.drawText(QRect(8, 4, 160, 32), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Marrowfield"));
  font.setPixelSize(26);
  painter.setFont(font);
  painter.drawText(QRect(8, 40, 86, 38), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("KV7"));
  return picture;
}

QPixmap IconPicture() {
  QPixmap picture(36, 36);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(40, 40, 48));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRect(2, 9, 24, 18), 3, 3);
  painter.drawPolygon(QPolygon({QPoint(26, 14), QPoint(34, 9), QPoint(34, 27), QPoint(26, 22)}));
  painter.setBrush(QColor(70, 120, 190));
  painter.drawEllipse(QPoint(12, 18), 5, 5);
  return picture;
}

namespace {

Qt::Alignment ToAlignment(Align align) {
  switch (align) {
    case Align::Centre: return Qt::AlignHCenter | Qt::AlignVCenter;
    case Align::Right: return Qt::AlignRight | Qt::AlignVCenter;
    case Align::Left: break;
  }
  return Qt::AlignLeft | Qt::AlignVCenter;
}

}  // namespace

FormWidgets::FormWidgets(QWidget& window, const FormSpec& spec) : window_(window), spec_(spec) {
  window_.setWindowTitle(ToQ(spec.caption));
  window_.setFixedSize(TwipsToPixels(spec.clientWidth), TwipsToPixels(spec.clientHeight));
  // The table lists containers before their controls.
  for (const ControlSpec& control : spec.controls) {
    QWidget* parent = control.parent.empty() ? &window_ : Widget(control.parent);
    QWidget* widget = Create(control, parent);
    widget->setObjectName(ToQ(control.name));
    if (!control.tooltip.empty()) widget->setToolTip(ToQ(control.tooltip));
    if (!control.visible) widget->hide();
    widgets_.emplace(std::string(control.name), widget);
  }
  Arrange(1);
}

QWidget* FormWidgets::Create(const ControlSpec& control, QWidget* parent) {
  switch (control.kind) {
    case ControlKind::Frame: {
      auto* frame = new QFrame(parent);
      frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
      frame->setAutoFillBackground(true);
      return frame;
    }
    case ControlKind::Panel: {
      auto* panel = new QWidget(parent);
      panel->setAutoFillBackground(true);
      return panel;
    }
    case ControlKind::Picture: {
      auto* picture = new QLabel(parent);
      picture->setScaledContents(true);
      return picture;
    }
    case ControlKind::Label: {
      auto* label = new QLabel(ToQ(control.caption), parent);
      label->setAlignment(control.wordWrap ? Qt::AlignLeft | Qt::AlignTop : ToAlignment(control.align));
      label->setWordWrap(control.wordWrap);
      return label;
    }
    case ControlKind::LinkLabel: {
      auto* link = new QLabel(parent);
      link->setTextFormat(Qt::RichText);
      link->setText(QStringLiteral("<a href=\"%1\" style=\"color:#0000ff; text-decoration:underline\">%1</a>")
                        .arg(ToQ(control.caption).toHtmlEscaped()));
      link->setCursor(Qt::PointingHandCursor);
      link->setFocusPolicy(Qt::TabFocus);
      return link;
    }
    case ControlKind::Button: return new QPushButton(ToQ(control.caption), parent);
    case ControlKind::EditableCombo: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(true);
      combo->setInsertPolicy(QComboBox::NoInsert);
      return combo;
    }
    case ControlKind::DropDownList:
    case ControlKind::DriveList: return new QComboBox(parent);
    case ControlKind::TextBox: {
      QLineEdit* edit = control.maxTyped > 0 ? new LimitedLineEdit(control.maxTyped, parent) : new QLineEdit(parent);
      edit->setText(ToQ(control.caption));
      edit->setAlignment(ToAlignment(control.align));
      return edit;
    }
    case ControlKind::HScroll: {
      auto* bar = new QScrollBar(Qt::Horizontal, parent);
      bar->setRange(kLevelMin, kLevelMax);
      bar->setSingleStep(1);
      bar->setPageStep(1);
      bar->setValue(0);
      bar->setInvertedControls(false);  // the right arrow key raises the level
      bar->setTracking(false);  // the text box follows when the thumb is released
      bar->setFocusPolicy(Qt::StrongFocus);
      return bar;
    }
    case ControlKind::DirList:
    case ControlKind::FileList: return new QListWidget(parent);
  }
  return new QWidget(parent);
}

QWidget* FormWidgets::Widget(std::string_view name) const {
  const auto found = widgets_.find(name);
  return found == widgets_.end() ? nullptr : found->second;
}

void FormWidgets::Arrange(int layout) {
  for (const ControlSpec& control : spec_.controls) {
    QWidget* widget = Widget(control.name);
    QRect place = PixelRect(Place(control, layout));
    // A right-aligned label keeps its right edge; it grows to the left when
    // this font needs more room than the table gives.
    if (control.kind == ControlKind::Label && control.align == Align::Right)
      place.setLeft(std::min(place.left(), place.right() + 1 - widget->sizeHint().width()));
    widget->setGeometry(place);
    // Pictures lie beneath everything, panels on their frames.
    if (control.kind == ControlKind::Picture) widget->lower();
    if (control.kind == ControlKind::Panel) widget->raise();
  }
  const auto order = layout == 2 ? spec_.focusOrder2 : spec_.focusOrder1;
  for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(Widget(order[i - 1]), Widget(order[i]));
  window_.update();
}

}  // namespace presets::ui::qt
