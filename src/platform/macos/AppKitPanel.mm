// Shield panels on macOS: a borderless, non-activating NSPanel whose content view renders the
// core's drawing and hands clicks and key presses to the core.
#import <AppKit/AppKit.h>

#include <cmath>
#include <memory>
#include <utility>

#include "platform/macos/MacServices.hpp"
#include "platform/macos/MacStrings.hpp"

namespace {

NSRect appKitRect(const sh::Rect& rect) {
    return NSMakeRect(rect.x, rect.y, rect.width, rect.height);
}

sh::Rect coreRect(NSRect rect) {
    return sh::Rect{rect.origin.x, rect.origin.y, rect.size.width, rect.size.height};
}

// Grey colours are calibrated white and every other colour calibrated RGB; a colour with no
// component at all is the clear colour.
NSColor* appKitColor(const sh::Color& color) {
    if (color == sh::Color{0, 0, 0, 0}) {
        return [NSColor clearColor];
    }
    if (color.red == color.green && color.green == color.blue) {
        return [NSColor colorWithCalibratedWhite:color.red alpha:color.alpha];
    }
    return [NSColor colorWithCalibratedRed:color.red
                                     green:color.green
                                      blue:color.blue
                                     alpha:color.alpha];
}

NSFontWeight appKitWeight(sh::FontWeight weight) {
    switch (weight) {
        case sh::FontWeight::regular:
            return NSFontWeightRegular;
        case sh::FontWeight::medium:
            return NSFontWeightMedium;
        case sh::FontWeight::semibold:
            return NSFontWeightSemibold;
    }
    return NSFontWeightRegular;
}

}  // namespace

// A panel that may take key focus, so that key presses reach its view, but never becomes the
// main window. The builder may change either answer from its configuration.
@interface ShieldPanel : NSPanel
- (void)setCanBecomeKey:(BOOL)canBecomeKey main:(BOOL)canBecomeMain;
@end

@implementation ShieldPanel {
    BOOL _canBecomeKey;
    BOOL _canBecomeMain;
}

- (instancetype)initWithContentRect:(NSRect)contentRect
                          styleMask:(NSWindowStyleMask)style
                            backing:(NSBackingStoreType)backingStoreType
                              defer:(BOOL)flag {
    self = [super initWithContentRect:contentRect
                            styleMask:style
                              backing:backingStoreType
                                defer:flag];
    if (self != nil) {
        _canBecomeKey = YES;
        _canBecomeMain = NO;
    }
    return self;
}

- (void)setCanBecomeKey:(BOOL)canBecomeKey main:(BOOL)canBecomeMain {
    _canBecomeKey = canBecomeKey;
    _canBecomeMain = canBecomeMain;
}

- (BOOL)canBecomeKeyWindow {
    return _canBecomeKey;
}

- (BOOL)canBecomeMainWindow {
    return _canBecomeMain;
}

@end

// The content view: not flipped, so its origin is the bottom-left corner as the core's drawing
// expects. It is made only with the content it shows; it cannot be restored from an archive.
@interface ShieldView : NSView
- (instancetype)initWithFrame:(NSRect)frame
                      content:(std::shared_ptr<sh::PanelContent>)content NS_DESIGNATED_INITIALIZER;
- (instancetype)initWithFrame:(NSRect)frame NS_UNAVAILABLE;
- (instancetype)initWithCoder:(NSCoder*)coder NS_UNAVAILABLE;
- (instancetype)init NS_UNAVAILABLE;
@end

@implementation ShieldView {
    std::shared_ptr<sh::PanelContent> _content;
}

- (instancetype)initWithFrame:(NSRect)frame content:(std::shared_ptr<sh::PanelContent>)content {
    self = [super initWithFrame:frame];
    if (self != nil) {
        _content = std::move(content);
    }
    return self;
}

- (instancetype)initWithFrame:(NSRect)frame {
    (void)frame;
    return nil;
}

- (instancetype)initWithCoder:(NSCoder*)coder {
    (void)coder;
    return nil;
}

- (BOOL)acceptsFirstResponder {
    return _content != nullptr && _content->acceptsFirstResponder() ? YES : NO;
}

// A shield that is not key must still report the first click on it: without this, AppKit may
// spend that click on making the panel key and never deliver it, and the attempt goes unseen.
- (BOOL)acceptsFirstMouse:(NSEvent*)event {
    (void)event;
    return YES;
}

// The content runs its action and then makes the panel key itself; the press goes no further.
- (void)mouseDown:(NSEvent*)event {
    (void)event;
    if (_content != nullptr) {
        _content->mouseDown();
    }
}

// Every key press, held-key repeats included, is consumed here.
- (void)keyDown:(NSEvent*)event {
    (void)event;
    if (_content != nullptr) {
        _content->keyDown();
    }
}

// The whole bounds are repainted on every call, whatever part was asked for.
- (void)drawRect:(NSRect)dirtyRect {
    (void)dirtyRect;
    if (_content == nullptr) {
        return;
    }
    const sh::Drawing drawing = _content->draw(coreRect(self.bounds));

    NSGraphicsContext* context = [NSGraphicsContext currentContext];
    const NSCompositingOperation operation =
        context != nil ? context.compositingOperation : NSCompositingOperationSourceOver;
    [appKitColor(drawing.fill) setFill];
    NSRectFillUsingOperation(appKitRect(drawing.bounds), operation);

    NSMutableParagraphStyle* paragraph = [[NSMutableParagraphStyle alloc] init];
    paragraph.alignment = NSTextAlignmentCenter;
    for (const sh::TextRun& run : drawing.texts) {
        NSDictionary<NSAttributedStringKey, id>* attributes = @{
            NSFontAttributeName : [NSFont systemFontOfSize:run.fontSize
                                                    weight:appKitWeight(run.weight)],
            NSForegroundColorAttributeName : appKitColor(run.color),
            NSParagraphStyleAttributeName : paragraph,
        };
        NSString* text = CFBridgingRelease(sh::macos::createString(run.text));
        const NSRect rect = appKitRect(run.rect);
        // Text that does not fit is cut off at the rectangle's edge, never drawn beyond it.
        [NSGraphicsContext saveGraphicsState];
        NSRectClip(rect);
        [text drawInRect:rect withAttributes:attributes];
        [NSGraphicsContext restoreGraphicsState];
    }
}

@end

namespace sh::macos {
namespace {

class AppKitPanel final : public Panel {
  public:
    explicit AppKitPanel(const PanelConfiguration& configuration) {
        panel_ = [[ShieldPanel alloc]
            initWithContentRect:appKitRect(configuration.contentRect)
                      styleMask:static_cast<NSWindowStyleMask>(configuration.styleMask)
                        backing:static_cast<NSBackingStoreType>(configuration.backing)
                          defer:configuration.defer ? YES : NO];
        // The panel belongs to this object alone: with ARC, a window that also released itself
        // on closing would be released twice.
        panel_.releasedWhenClosed = NO;
        [panel_ setCanBecomeKey:configuration.canBecomeKeyWindow ? YES : NO
                           main:configuration.canBecomeMainWindow ? YES : NO];
        panel_.opaque = configuration.opaque ? YES : NO;
        panel_.backgroundColor = appKitColor(configuration.backgroundColor);
        panel_.hasShadow = configuration.hasShadow ? YES : NO;
        panel_.level = configuration.level;
        panel_.hidesOnDeactivate = configuration.hidesOnDeactivate ? YES : NO;
        panel_.movable = configuration.movable ? YES : NO;
        panel_.collectionBehavior =
            static_cast<NSWindowCollectionBehavior>(configuration.collectionBehavior);
        panel_.animationBehavior =
            static_cast<NSWindowAnimationBehavior>(configuration.animationBehavior);
        // Borderless: the frame is the content rectangle.
        requestedFrame_ = appKitRect(configuration.contentRect);
    }

    void setContentView(std::shared_ptr<PanelContent> view,
                        const ContentViewOptions& options) override {
        if (closed_) {
            return;
        }
        // The view fills the panel: origin (0, 0) and the size of its content rectangle.
        const NSSize size = [panel_ contentRectForFrameRect:panel_.frame].size;
        ShieldView* contentView =
            [[ShieldView alloc] initWithFrame:NSMakeRect(0, 0, size.width, size.height)
                                      content:std::move(view)];
        contentView.wantsLayer = options.wantsLayer ? YES : NO;
        contentView.autoresizingMask =
            static_cast<NSAutoresizingMaskOptions>(options.autoresizingMask);
        panel_.contentView = contentView;
        // Key presses go to the window's first responder. A panel made key without a click
        // (raised when its application comes to the front) would otherwise keep the window
        // itself as first responder, and key presses would never reach the view.
        panel_.initialFirstResponder = contentView;
        [panel_ makeFirstResponder:contentView];
    }

    void setFrame(const Rect& frame, bool display) override {
        if (closed_) {
            return;
        }
        requestedFrame_ = appKitRect(frame);
        [panel_ setFrame:requestedFrame_ display:display ? YES : NO];
    }

    void orderWindow(WindowOrderingMode mode, int64_t relativeTo) override {
        // A closed panel is never shown again.
        if (closed_) {
            return;
        }
        [panel_ orderWindow:static_cast<NSWindowOrderingMode>(mode)
                 relativeTo:static_cast<NSInteger>(relativeTo)];
        orderedAbove_ = mode == WindowOrderingMode::above ? static_cast<NSInteger>(relativeTo) : 0;
    }

    void makeKeyWindow() override {
        if (closed_) {
            return;
        }
        [panel_ makeKeyWindow];
    }

    bool isKeyWindow() override { return !closed_ && panel_.isKeyWindow; }

    // The window server applies frames and orderings at once, so the panel's own state and
    // the order of the windows on screen answer this as they are. Nothing moves a shield but
    // the helper, and a Space switch or an activation asks for a pass by itself, so no change
    // needs announcing.
    bool isInPlace() override {
        if (closed_ || orderedAbove_ == 0 || !panel_.isVisible || !panel_.isOnActiveSpace) {
            return false;
        }
        // Within half a point: the window server keeps frames in whole pixels.
        const NSRect shown = panel_.frame;
        constexpr CGFloat tolerance = 0.5;
        if (std::fabs(NSMinX(shown) - NSMinX(requestedFrame_)) > tolerance ||
            std::fabs(NSMinY(shown) - NSMinY(requestedFrame_)) > tolerance ||
            std::fabs(NSWidth(shown) - NSWidth(requestedFrame_)) > tolerance ||
            std::fabs(NSHeight(shown) - NSHeight(requestedFrame_)) > tolerance) {
            return false;
        }
        // The windows on screen, front to back: the covered one must come right after ours.
        NSArray<NSNumber*>* order =
            [NSWindow windowNumbersWithOptions:NSWindowNumberListAllApplications];
        const NSUInteger own = [order indexOfObject:@(panel_.windowNumber)];
        if (own == NSNotFound || own + 1 >= order.count) {
            return false;
        }
        return order[own + 1].integerValue == orderedAbove_;
    }

    void close() override {
        if (closed_) {
            return;
        }
        closed_ = true;
        [panel_ close];
    }

  private:
    ShieldPanel* panel_ = nil;
    bool closed_ = false;
    // The frame last set and the window last ordered above (0: none).
    NSRect requestedFrame_ = NSZeroRect;
    NSInteger orderedAbove_ = 0;
};

}  // namespace

std::shared_ptr<Panel> makePanel(const PanelConfiguration& configuration) {
    return std::make_shared<AppKitPanel>(configuration);
}

}  // namespace sh::macos
