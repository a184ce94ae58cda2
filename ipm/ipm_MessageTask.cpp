#include "ipm/ipm_MessageTask.h"

#include "ipm/impl/ipm_Delivery.h"
#include "ipm/ipm_MessageTransmit.h"

ipm_MessageTask::ipm_MessageTask() = default;

ipm_MessageTask::~ipm_MessageTask() = default;

void ipm_MessageTask::Run(unsigned int) {
    ipm_Delivery delivery(thr_GlobalSingleton<ipm_MessageTransmit>::Instance());
    delivery.Run();
}
