#include "ipm/ipm_TransmissionMechanism.h"

ipm_TransmissionMechanism::ipm_TransmissionMechanism() = default;

ipm_TransmissionMechanism::~ipm_TransmissionMechanism() = default;
