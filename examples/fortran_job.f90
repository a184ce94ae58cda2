! An example job in Fortran: it reports its progress through the messaging
! library and stops early when the listener asks it to.
!
!   fortran-job job=beam message=ALL listener_name=127.0.0.1 direct_port=7000 [steps=40] [transport=jabber]
!
! The library reads its own options from the command line; steps and
! transport are the job's. Exit status: 0 when all steps ran, 3 when the
! listener stopped the job, 1 when messaging could not be started or stopped.
program fortran_job
    use, intrinsic :: iso_c_binding, only: c_double, c_int
    use, intrinsic :: iso_fortran_env, only: error_unit
    use ipm_messaging
    implicit none

    interface
        ! Stands in for the computation of one step.
        integer(c_int) function usleep(microseconds) bind(C, name='usleep')
            import :: c_int
            integer(c_int), value :: microseconds
        end function
    end interface

    integer, parameter :: completed = 0, failed = 1, stopped_by_listener = 3
    integer :: steps, step, status, result
    character(len=16) :: phase
    character(len=:), allocatable :: steps_text

    steps_text = option('steps', '40')
    read (steps_text, *) steps
    result = ipm_start(option('transport', 'direct'))
    if (result /= IPM_OK) then
        call report_failure('start', result)
        stop failed, quiet=.true.
    end if

    call check(ipm_send('Started', 'program=%s', texts=['fortran-job']), 'start message')
    status = completed
    do step = 1, steps
        if (ipm_kill_requested()) then
            status = stopped_by_listener
            exit
        end if
        phase = 'Loading'
        if (step*2 > steps) phase = 'Holding'
        call check(ipm_send('Progress', 'step=%i of=%i residual=%r phase=%e', ints=[step, steps], &
                            doubles=[1.0_c_double/(step + 1)], texts=[phase]), 'progress')
        result = usleep(100000_c_int)
    end do
    if (status == completed) then
        call check(ipm_send('Completed', 'steps=%i', ints=[steps]), 'end message')
    else
        call check(ipm_send('Stopped', 'steps=%i', ints=[step - 1]), 'end message')
    end if

    ! The stop sends what is still buffered, the end message among it.
    if (ipm_stop() /= IPM_OK) status = failed
    stop status, quiet=.true.

contains

    ! The value of option `name` ("name=value") on the command line, or `fallback`.
    function option(name, fallback) result(value)
        character(len=*), intent(in) :: name, fallback
        character(len=:), allocatable :: value
        character(len=256) :: argument
        integer :: i

        value = fallback
        do i = 1, command_argument_count()
            call get_command_argument(i, argument)
            if (index(argument, name//'=') == 1) value = trim(argument(len(name) + 2:))
        end do
    end function

    subroutine check(result, what)
        integer, intent(in) :: result
        character(len=*), intent(in) :: what

        if (result /= IPM_OK) call report_failure(what, result)
    end subroutine

    subroutine report_failure(what, result)
        character(len=*), intent(in) :: what
        integer, intent(in) :: result

        write (error_unit, '(5a)') 'fortran-job: ', what, ': ', ipm_result_text(result), ' '//ipm_last_failure()
    end subroutine

end program fortran_job
