! The Fortran module links and reaches the library: result codes, a value
! count checked before the library reads, the delivery status, and request
! calls that check their arguments.
program fortran_binding_check
    use ipm_messaging
    implicit none
    character(len=16), parameter :: options(2) = [character(len=16) :: 'job=fcheck', 'message=NONE']
    character(len=64) :: reason, name, value
    integer :: id

    if (ipm_status(reason) /= IPM_STATUS_OFF .or. reason /= 'messaging is not started') error stop 'status'
    if (ipm_start('direct', options) /= IPM_OK) error stop 'start'
    if (ipm_send('Progress', 'a=%i b=%i', ints=[1]) /= IPM_BAD_ARGUMENT) error stop 'too few ints'
    if (ipm_send('Progress', 'a=%i', ints=[1]) /= IPM_OK) error stop 'send'
    if (ipm_offer_requests(['Stop'], ['Stop']) /= IPM_BAD_ARGUMENT) error stop 'bad request name'
    if (ipm_offer_requests(['stop'], ['Stop after this increment']) /= IPM_OK) error stop 'offer'
    if (ipm_take_request(id, name, value) /= IPM_OK .or. id /= 0) error stop 'nothing pending'
    if (ipm_answer_request(1, IPM_REQUEST_DONE, 'never taken') /= IPM_BAD_ARGUMENT) error stop 'answer untaken'
    if (ipm_stop() /= IPM_OK) error stop 'stop'
    print '(a)', 'fortran binding: all checks passed'
end program fortran_binding_check
