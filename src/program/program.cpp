#include "program/program.h"

#include "app/fields.h"
#include "download/dispatch.h"
#include "schedule/schedule.h"
#include "schedule/time_dialog.h"
#include "upload/dispatch.h"

namespace corvantel {

Program::Program(platform::Platform& platform, std::string baseDir) : App(platform, std::move(baseDir)) {
    timeDialog_ = std::make_unique<TimeDialog>(*this);
    form2 = timeDialog_.get();
    openTimeDialog = [this] { form2->open(); };
    installWindowHandlers(*this);
    installScheduleHandlers(*this);
    installDownloadHandlers(*this);
    installUploadHandlers(*this);
}

Program::~Program() = default;

}  // namespace corvantel
