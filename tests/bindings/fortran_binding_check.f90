! The Fortran module's own checks: result codes for misuse, too few values
! refused before the library reads them, options handed over as a list.
! Exits with status 1 at the first failed check.
program fortran_binding_check
    use, intrinsic :: iso_c_binding, only: c_double, c_int
    use, intrinsic :: iso_fortran_env, only: error_unit
    use ipm_messaging
    implicit none

    ! Messaging off: nothing leaves the process.
    character(len=16), parameter :: options(2) = [character(len=16) :: 'job=fcheck', 'message=NONE']
    integer(c_int) :: every_other(6) = [1, 0, 2, 0, 3, 0]
    real(c_double) :: load = 0.5_c_double

    call expect(ipm_stop(), IPM_NOT_STARTED, 'stop without start')
    call expect(ipm_send('Progress', 'step=%i', ints=[1]), IPM_NOT_STARTED, 'send without start')
    call expect(ipm_start('pigeon', options), IPM_UNKNOWN_TRANSPORT, 'unknown transport')

    call expect(ipm_start('direct', options), IPM_OK, 'start with options')
    call expect(ipm_start('direct'), IPM_ALREADY_STARTED, 'second start')
    call expect(ipm_send('Progress', 'a=%i b=%i', ints=[1]), IPM_BAD_ARGUMENT, 'too few ints')
    call expect(ipm_send('Progress', 'load=%r'), IPM_BAD_ARGUMENT, 'no doubles')
    call expect(ipm_send_direct('Progress', 'a=%s b=%e', texts=['one']), IPM_BAD_ARGUMENT, 'too few texts')
    call expect(ipm_send('Progress', 'a=%i b=%i c=%i load=%r note=%s', ints=every_other(1::2), &
                         doubles=[load], texts=['padded    ']), IPM_OK, 'strided values')
    call expect(ipm_send('Started', 'program=%s'//repeat(' ', 10), texts=['fcheck']), IPM_OK, 'padded format')
    call expect(ipm_stop(), IPM_OK, 'stop')
    call expect(ipm_stop(), IPM_NOT_STARTED, 'second stop')
    if (ipm_kill_requested()) call failed('kill flag raised without a listener')
    if (len(ipm_result_text(IPM_ALREADY_STARTED)) == 0) call failed('empty result text')
    print '(a)', 'fortran binding: all checks passed'

contains

    subroutine expect(actual, expected, what)
        integer, intent(in) :: actual, expected
        character(len=*), intent(in) :: what

        if (actual /= expected) then
            write (error_unit, '(a, ": ", a, " (", i0, "), expected ", a)') what, ipm_result_text(actual), actual, &
                ipm_result_text(expected)
            call failed(what)
        end if
    end subroutine

    subroutine failed(what)
        character(len=*), intent(in) :: what

        write (error_unit, '(2a)') 'failed: ', what
        error stop 1
    end subroutine

end program fortran_binding_check
