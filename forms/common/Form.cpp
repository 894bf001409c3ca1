// The load/unload life of the station's windows and the rule that ends the program.
#include "forms/common/Form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPainter>
#include <QTimer>

#include "assets/fonts.h"
#include "assets/pictures.h"
#include "platform/platform.h"

namespace tav {

namespace {

int g_loadedWindows = 0;
bool g_endQueued = false;

// The program ends once the handler that unloaded the last window has returned; a window loaded
// again in the meantime keeps it running.
void queueEndOfProgram() {
  if (g_endQueued) return;
  g_endQueued = true;
  QTimer::singleShot(0, QCoreApplication::instance(), [] {
    g_endQueued = false;
    if (g_loadedWindows == 0) platform().endProgram();
  });
}

}  // namespace

Form::Form(QWidget* parent) : QWidget(parent) {
  // The layouts name Gulim: its stand-in must be known before the controls take their fonts.
  assets::substituteGulim();
}

Form::~Form() {
  // A window destroyed while still loaded (program teardown) no longer counts.
  if (loaded_) --g_loadedWindows;
}

int Form::loadedCount() { return g_loadedWindows; }

void Form::load() {
  if (loaded_ || unloading_) return;
  // Marked loaded before Form_Load, so that a Form_Load that fails or closes the program can
  // still unload this window.
  loaded_ = true;
  ++g_loadedWindows;
  Form_Load();
}

void Form::unload() {
  if (!loaded_) return;
  unloading_ = true;
  hide();
  loaded_ = false;
  --g_loadedWindows;
  // deleteLater: a handler of this window may still be running.
  deleteLater();
  if (g_loadedWindows == 0) queueEndOfProgram();
}

void Form::closeEvent(QCloseEvent* event) {
  // The close box unloads the window; its reference then names a discarded window and the next
  // use creates a new one.
  event->accept();
  unload();
}

void Form::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  if (backdrop_.isNull()) return;
  QPainter painter(this);
  painter.drawPixmap(0, 0, backdrop_);
}

QPixmap Form::builtInPicture(const QString& name) { return QPixmap::fromImage(assets::picture(name)); }

void Form::setBackdrop(const QString& name) { backdrop_ = builtInPicture(name); }

void Form::useFixedFrame() {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(size());
}

}  // namespace tav
