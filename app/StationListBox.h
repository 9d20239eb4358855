// TStationListBox: a list of station lines ("FREQ AREA+LETTER CALLSIGN LOCATION,CC", as
// FillStationList makes them) shown in columns under a header. The items keep the lines
// whole, as the pages read them and the settings store them; only the painting splits
// them into their fields. Checkable items (the do-not-log list) keep their check box
// left of the first column.
#pragma once

#include <QListWidget>

#include <array>

class QHeaderView;

namespace tilo {

// A station line's fields: frequency, NAVAREA with the letter, call sign, location,
// country code. A line without a "," has no country code.
std::array<QString, 5> StationLineFields(const QString& Line);

class TStationListBox : public QListWidget {
    Q_OBJECT

public:
    explicit TStationListBox(QWidget* Parent = nullptr);
    // The list's own clearing on destruction must not reach PlaceHeader.
    ~TStationListBox() override;
    QHeaderView* Header() const { return FHeader; }
    // Pixels left of the first column in each row (a check box's room).
    int32_t Indent() const;

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;

private:
    void PlaceHeader();
    QHeaderView* FHeader;
};

}  // namespace tilo
