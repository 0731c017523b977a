#pragma once

#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

// Clicks a part of the scroll bar where the style draws it; false when the
// part has no room (the trough below a thumb at the bottom).
inline bool clickBar(QScrollBar *bar, QStyle::SubControl part)
{
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.subControls = QStyle::SC_All;
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    const QRect rect = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar);
    if (rect.isEmpty())
        return false;
    QTest::mouseClick(bar, Qt::LeftButton, {}, rect.center());
    return true;
}
