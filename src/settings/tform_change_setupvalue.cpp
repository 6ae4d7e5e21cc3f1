// The Setup Machine Parameter dialog: its controls built from the field
// table, what each may take, and OK and TEST through SetupBlockEditor.
#include "settings/tform_change_setupvalue.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "common/window_geometry_qt.h"

namespace dupmon {

namespace {

// What the operator may type into a mask edit of each encoding.
QValidator* validatorFor(SetupEncoding e, QObject* parent) {
    const char* pattern = "[0-9]*";
    if (e == SetupEncoding::Speed)
        pattern = "[0-9]{0,4}(\\.[0-9]?)?";
    else if (e == SetupEncoding::Hex)
        pattern = "[0-9A-Fa-f]{0,2}";
    return new QRegularExpressionValidator(QRegularExpression(pattern), parent);
}

} // namespace

TForm_change_setupValue::TForm_change_setupValue(QWidget* parent) : QDialog(parent) {
    setObjectName("Form_change_setupValue");
    setWindowTitle(kSetupCaption);

    // Edits and combo boxes in a grid on the left, radio groups on the right.
    auto* values = new QGridLayout;
    auto* choices = new QVBoxLayout;
    int valueRow = 0;
    const auto& fields = setupFields();
    for (size_t k = 0; k < fields.size(); ++k) {
        const SetupField& f = fields[k];
        if (f.kind == SetupControlKind::RadioGroup) {
            auto* box = new QGroupBox(f.caption, this);
            box->setObjectName(f.control);
            auto* group = new QButtonGroup(box);
            // Two choices side by side, more one under the other.
            QBoxLayout* lines = f.items.size() > 2 ? static_cast<QBoxLayout*>(new QVBoxLayout(box))
                                                   : new QHBoxLayout(box);
            for (size_t i = 0; i < f.items.size(); ++i) {
                auto* b = new QRadioButton(f.items[i], box);
                group->addButton(b, int(i));
                lines->addWidget(b);
            }
            connect(group, &QButtonGroup::idClicked, this, [this] { applyEnabling(); });
            controls_[k] = box;
            groups_[k] = group;
            choices->addWidget(box);
            continue;
        }
        QWidget* c;
        if (f.kind == SetupControlKind::ComboBox) {
            auto* combo = new QComboBox(this);
            for (const char* item : f.items)
                combo->addItem(item);
            combo->setMaxVisibleItems(20);
            c = combo;
        } else {
            auto* e = new QLineEdit(this);
            e->setMaxLength(f.digits);
            e->setValidator(validatorFor(f.encoding, e));
            e->setFixedWidth(
                e->fontMetrics().horizontalAdvance(QString(std::max<int>(f.digits, 5) + 2, '0')) +
                12);
            c = e;
        }
        c->setObjectName(f.control);
        controls_[k] = c;
        auto* label = new QLabel(f.caption, this);
        label->setBuddy(c);
        values->addWidget(label, valueRow, 0);
        auto* cell = new QHBoxLayout;
        cell->addWidget(c);
        if (*f.unit)
            cell->addWidget(new QLabel(f.unit, this));
        cell->addStretch(1);
        values->addLayout(cell, valueRow, 1);
        ++valueRow;
    }
    values->setRowStretch(valueRow, 1);
    choices->addStretch(1);

    // Says which typed value is out of its range, and what the field takes.
    Label_Problem = new QLabel(this);
    Label_Problem->setObjectName("Label_Problem");
    Label_Problem->setWordWrap(true);
    QPalette red = Label_Problem->palette();
    red.setColor(QPalette::WindowText, QColor(200, 0, 0));
    Label_Problem->setPalette(red);
    Label_Problem->hide();

    Button_OK = new QPushButton("OK", this);
    Button_TEST = new QPushButton("TEST", this);
    Button_Abort = new QPushButton("Abort", this);
    Button_OK->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* b : {Button_OK, Button_TEST, Button_Abort}) {
        b->setMinimumWidth(100);
        buttons->addWidget(b);
    }

    // The fields scroll above the buttons where the screen is smaller than
    // they are (a small screen, or a desktop scaled up).
    auto* fieldsPane = new QWidget;
    auto* top = new QHBoxLayout(fieldsPane);
    top->setContentsMargins(0, 0, 0, 0);
    top->addLayout(values);
    top->addSpacing(12);
    top->addLayout(choices);
    auto* fieldsArea = new QScrollArea(this);
    fieldsArea->setFrameShape(QFrame::NoFrame);
    fieldsArea->setWidgetResizable(true);
    fieldsArea->setWidget(fieldsPane);
    auto* whole = new QVBoxLayout(this);
    whole->addWidget(fieldsArea, 1);
    whole->addWidget(Label_Problem);
    whole->addLayout(buttons);
    whole->setSizeConstraint(QLayout::SetFixedSize);
    const QSize need = fieldsPane->sizeHint();
    const WindowRect screenArea = freeArea(QGuiApplication::primaryScreen());
    // Room for the title bar, the margins, the buttons and two lines of a
    // refused value's message.
    const int spare = 60 + 4 * whole->spacing() + Button_OK->sizeHint().height() +
                      2 * Label_Problem->fontMetrics().height() + whole->contentsMargins().top() +
                      whole->contentsMargins().bottom();
    const int height = sizeWithin({0, need.height()}, screenArea, {0, spare}).height;
    const int bar = height < need.height() ? style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0;
    fieldsArea->setFixedSize(sizeWithin({need.width() + bar, 0}, screenArea, {40, 0}).width,
                             height);

    connect(Button_OK, &QPushButton::clicked, this, [this] { OKClick(); });
    connect(Button_TEST, &QPushButton::clicked, this, [this] { TESTClick(); });
    connect(Button_Abort, &QPushButton::clicked, this, [this] { done(Aborted); });
    showControls(editor_.controls);
}

QLineEdit* TForm_change_setupValue::edit(SetupFieldId field) const {
    return qobject_cast<QLineEdit*>(control(field));
}

QComboBox* TForm_change_setupValue::combo(SetupFieldId field) const {
    return qobject_cast<QComboBox*>(control(field));
}

void TForm_change_setupValue::readControls(SetupControls& out) const {
    for (size_t k = 0; k < controls_.size(); ++k) {
        const auto field = SetupFieldId(k);
        if (QButtonGroup* g = groups_[k])
            out[k].index = g->checkedId();
        else if (QComboBox* c = combo(field))
            out[k].index = c->currentIndex();
        else
            out[k].text = edit(field)->text().toStdString();
    }
}

void TForm_change_setupValue::showControls(const SetupControls& values) {
    const auto& fields = setupFields();
    for (size_t k = 0; k < controls_.size(); ++k) {
        const auto field = SetupFieldId(k);
        if (QButtonGroup* g = groups_[k]) {
            // An exclusive group cannot be emptied: no selection needs it let go.
            g->setExclusive(false);
            for (QAbstractButton* b : g->buttons())
                b->setChecked(g->id(b) == values[k].index);
            g->setExclusive(true);
        } else if (QComboBox* c = combo(field)) {
            c->setCurrentIndex(values[k].index);
        } else {
            // A stored value longer than the edit's digits is shown whole, so
            // that OK alone cannot cut it.
            QLineEdit* e = edit(field);
            const QString text = QString::fromStdString(values[k].text);
            e->setMaxLength(std::max<int>(fields[k].digits, int(text.size())));
            e->setText(text);
        }
    }
    applyEnabling();
}

void TForm_change_setupValue::applyEnabling() {
    SetupControls now;
    readControls(now);
    const SetupEnabling e = setupEnabling(now);
    control(SETUP_TOLERANCE_PLUS)->setEnabled(e.tolerancePlusMinus);
    control(SETUP_TOLERANCE_MINUS)->setEnabled(e.tolerancePlusMinus);
    control(SETUP_BURN_TIME)->setEnabled(e.burnTime);
    control(SETUP_BURN_LOOP)->setEnabled(e.burnLoop);
    control(SETUP_PATTERN)->setEnabled(e.dataPattern);
}

void TForm_change_setupValue::loadBlock(const uint8_t* block) {
    Label_Problem->hide();
    editor_.load(block);
    showControls(editor_.controls);
}

void TForm_change_setupValue::storeControls(uint8_t* block) const {
    SetupControls now;
    readControls(now);
    storeSetupControls(now, block);
}

bool TForm_change_setupValue::refuseOutOfRange() {
    const std::optional<SetupInputProblem> problem = editor_.inputProblem();
    Label_Problem->setVisible(bool(problem));
    if (!problem)
        return false;
    Label_Problem->setText(QString::fromStdString(problem->message));
    if (QLineEdit* e = edit(problem->field)) {
        e->setFocus(Qt::OtherFocusReason);
        e->selectAll();
    }
    return true;
}

void TForm_change_setupValue::OKClick() {
    readControls(editor_.controls);
    if (refuseOutOfRange())
        return;
    editor_.ok();
    accept();
}

void TForm_change_setupValue::TESTClick() {
    readControls(editor_.controls);
    if (refuseOutOfRange())
        return;
    editor_.test();
    showControls(editor_.controls);
}

} // namespace dupmon
