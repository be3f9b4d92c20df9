#pragma once

#include <QAbstractButton>

// An on/off switch: a checkable button drawn as a sliding knob in a track, in the palette's
// highlight colour while on. Space toggles it, as it does a check box.
class ToggleSwitch final : public QAbstractButton {
    Q_OBJECT

public:
    explicit ToggleSwitch(QWidget *parent = nullptr);

    QSize sizeHint() const override { return { 50, 30 }; }

protected:
    void paintEvent(QPaintEvent *event) override;
};
