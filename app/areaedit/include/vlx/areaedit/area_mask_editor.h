// The detect-area editor: paints which parts of the picture the motion
// detector ignores, over the live still image, and saves the area-mask file
// (pure red = excluded) that the live side reads when it builds its pipeline.
//
// The model holds the mask, the tools and the display image; a dialog
// forwards mouse points in its own coordinates and paints Display() into the
// picture rectangle. Pictures are IF.cx x IF.cy pixels, bytes blue, green,
// red, bottom row first, rows unpadded; points are (column, row from the top).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vlx/app/context.h"
#include "vlx/app/question.h"
#include "vlx/clips/records.h"

namespace vlx {

inline constexpr int kPictureLeft = 90;
inline constexpr int kPictureTop = 2;
inline constexpr const char* kNotSavedQuestion = "Not Saved OK?";

enum class MaskColour : int { kDetect = 0, kMask = 1 };
enum class MaskTool : int { kRect = 0, kLine = 1, kPen = 2 };
enum class Brush : int { kS = 1, kM = 5, kL = 13, kLL = 25 };  // diameter in pixels
enum class MouseButton : int { kLeft, kRight };

struct EditorLayout {
    int scale = 1;                              // screen pixels per image pixel
    int left = 0, top = 0, right = 0, bottom = 0;  // picture rectangle (right, bottom outside)
    int dialog_width = 0, dialog_height = 0;
};

// Scale 1 above 240 lines, else 2; the picture at (90, 2).
EditorLayout LayoutFor(int cx, int cy, int caption_height);

struct EditorPoint {
    int x = 0, y = 0;
};

// A rubber line or rectangle being dragged, in dialog coordinates.
struct EditorDrag {
    bool active = false;
    MaskTool tool = MaskTool::kLine;
    MouseButton button = MouseButton::kLeft;
    EditorPoint start, end;
};

class AreaEditorView {
public:
    virtual ~AreaEditorView() = default;
    virtual void DisplayChanged() {}  // repaint the picture from Display()
    virtual void DragChanged() {}     // redraw the rubber line or rectangle
};

class AreaMaskEditor {
public:
    enum class SaveResult { kSaved, kReservedName, kWriteFailed };

    // mask is the application's area-mask picture in memory: what is painted
    // stays there after a cancel. questions answers "Not Saved OK?"; without
    // one the answer is Cancel.
    AreaMaskEditor(AppContext& ctx, AreaMaskPicture& mask, Questioner* questions = nullptr);

    void SetView(AreaEditorView* view) { view_ = view ? view : &null_view_; }
    // The live still image the mask is painted over (of another size: black).
    void SetBackground(const uint8_t* bgr, int width, int height);

    // Opening: the mask file of AP.dareafname read into the mask picture (no
    // file for "DA-ALL.bmp"; UM026 / UM027 as the reader reports them); with
    // none read, the picture in memory when it has the capture size, else all
    // detect. Colours other than pure red count as detect. State, layout and
    // display start afresh; caption_height sizes the dialog.
    void Open(int caption_height = 0);
    // The same without reading any file: the picture in memory, or all detect.
    void Begin(int caption_height = 0);

    int width() const { return cx_; }
    int height() const { return cy_; }
    const EditorLayout& layout() const { return layout_; }
    const std::vector<uint8_t>& Display() const { return display_; }
    const AreaMaskPicture& Mask() const { return mask_; }
    bool IsMasked(int x, int y) const;  // (column, row from the top)
    int MaskedCount() const;
    bool modified() const { return modified_; }
    const EditorDrag& drag() const { return drag_; }

    MaskColour colour() const { return colour_; }
    MaskTool tool() const { return tool_; }
    Brush brush() const { return brush_; }
    void SetColour(MaskColour c) { colour_ = c; }
    void SetTool(MaskTool t) { tool_ = t; }
    void SetBrush(Brush b) { brush_ = b; }

    // A dialog point to an image pixel; false outside the picture rectangle.
    bool MapPoint(EditorPoint p, int* col, int* row) const;

    // Mouse events in dialog coordinates.
    void Press(MouseButton button, EditorPoint p);
    void Move(EditorPoint p, bool left_held, bool right_held);
    void Release(MouseButton button, EditorPoint p);

    // Painting in image pixels; each marks the editor modified.
    void PaintPoint(MaskColour c, int x, int y);  // with the current brush
    void PaintLine(MaskColour c, EditorPoint from, EditorPoint to);  // dialog points
    void FillRect(MaskColour c, EditorPoint a, EditorPoint b);      // dialog corners
    void AllDetect();
    void AllMask();

    // "Auto Set" from the background with AP.me_lev, AP.me_ratio and the
    // current brush. The setters clamp to 0..255, store and run it.
    void AutoSet();
    void SetLevel(int lev);
    void SetRatio(int ratio);

    // "DA%d-%d.bmp" while AP.dareafname is "DA-ALL.bmp", else the name.
    std::string ProposedName() const;
    std::string ProposedPath() const;  // in the program directory
    // Writes the mask to path, stores its file name in AP.dareafname and
    // greys the display. "DA-ALL.bmp" is refused with UM025; a write that
    // fails (UM083) leaves the name as it was and the editor open.
    SaveResult Save(const std::string& path);
    // True when the editor closes: unmodified, or "Not Saved OK?" answered OK.
    bool Cancel();

private:
    void SetPixel(MaskColour c, int x, int y);
    void FillAll(MaskColour c);
    void RebuildDisplay();
    MaskColour Other(MaskColour c) const { return c == MaskColour::kMask ? MaskColour::kDetect : MaskColour::kMask; }
    MaskColour ButtonColour(MouseButton b) const { return b == MouseButton::kLeft ? colour_ : Other(colour_); }

    AppContext& ctx_;
    AreaMaskPicture& mask_;
    Questioner* questions_;
    AreaEditorView* view_;
    AreaEditorView null_view_;

    int cx_ = 0, cy_ = 0;
    EditorLayout layout_;
    std::vector<uint8_t> background_;
    std::vector<uint8_t> display_;

    bool modified_ = false;
    MaskColour colour_ = MaskColour::kMask;
    MaskTool tool_ = MaskTool::kLine;
    Brush brush_ = Brush::kL;
    EditorDrag drag_;
};

}  // namespace vlx
