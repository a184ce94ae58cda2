! Progress reports from a Fortran job to a listener, through the C wiring
! interface of the messaging library (link with -lipm).
!
!   use ipm_messaging
!   result = ipm_start('direct')           ! options from the command line
!   result = ipm_send('Progress', 'step=%i residual=%r phase=%e', &
!                     ints=[step], doubles=[residual], texts=['Loading'])
!   if (ipm_kill_requested()) ...
!   result = ipm_stop()
!
! Requests beside the kill request, taken at the job's safe point:
!   result = ipm_offer_requests([character(len=10) :: 'checkpoint', 'stop'], &
!                               [character(len=26) :: 'Write a restart file now', 'Stop after this increment'])
!   result = ipm_take_request(id, name, value)   ! id 0: none pending
!   if (id > 0) result = ipm_answer_request(id, IPM_REQUEST_DONE, 'written')
!
! Texts are passed without their trailing blanks. Every function returns one
! of the IPM_ results; a format that needs more values than given returns
! IPM_BAD_ARGUMENT and sends nothing.
module ipm_messaging
    use, intrinsic :: iso_c_binding, only: c_char, c_double, c_int, c_loc, c_null_char, c_null_ptr, c_ptr, &
                                           c_associated, c_f_pointer
    implicit none
    private

    integer, parameter, public :: IPM_OK = 0
    integer, parameter, public :: IPM_ALREADY_STARTED = 1
    integer, parameter, public :: IPM_NOT_STARTED = 2
    integer, parameter, public :: IPM_UNKNOWN_TRANSPORT = 3
    integer, parameter, public :: IPM_BAD_ARGUMENT = 4
    integer, parameter, public :: IPM_WRONG_THREAD = 5
    integer, parameter, public :: IPM_FAILED = 6
    ! Where delivery stands (ipm_status).
    integer, parameter, public :: IPM_STATUS_OFF = 0
    integer, parameter, public :: IPM_STATUS_CONNECTING = 1
    integer, parameter, public :: IPM_STATUS_CONNECTED = 2
    ! How a job answers a request (ipm_answer_request).
    integer, parameter, public :: IPM_REQUEST_DONE = 0
    integer, parameter, public :: IPM_REQUEST_REFUSED = 1
    integer, parameter, public :: IPM_REQUEST_FAILED = 2

    public :: ipm_start, ipm_stop, ipm_kill_requested, ipm_send, ipm_send_direct, ipm_result_text, &
              ipm_last_failure, ipm_status, ipm_offer_requests, ipm_take_request, ipm_answer_request

    interface
        integer(c_int) function c_start(transport, argc, argv) bind(C, name='ipm_start')
            import :: c_char, c_int, c_ptr
            character(kind=c_char), intent(in) :: transport(*)
            integer(c_int), value :: argc
            type(c_ptr), value :: argv
        end function

        integer(c_int) function c_stop() bind(C, name='ipm_stop')
            import :: c_int
        end function

        integer(c_int) function c_kill_requested() bind(C, name='ipm_killRequested')
            import :: c_int
        end function

        integer(c_int) function c_send(message_type, format, ints, doubles, texts) bind(C, name='ipm_send')
            import :: c_char, c_int, c_ptr
            character(kind=c_char), intent(in) :: message_type(*), format(*)
            type(c_ptr), value :: ints, doubles, texts
        end function

        integer(c_int) function c_send_direct(message_type, format, ints, doubles, texts) bind(C, name='ipm_sendDirect')
            import :: c_char, c_int, c_ptr
            character(kind=c_char), intent(in) :: message_type(*), format(*)
            type(c_ptr), value :: ints, doubles, texts
        end function

        integer(c_int) function c_count_format_values(format, ints, doubles, texts) &
                bind(C, name='ipm_countFormatValues')
            import :: c_char, c_int
            character(kind=c_char), intent(in) :: format(*)
            integer(c_int), intent(out) :: ints, doubles, texts
        end function

        type(c_ptr) function c_result_text(result) bind(C, name='ipm_resultText')
            import :: c_int, c_ptr
            integer(c_int), value :: result
        end function

        integer(c_int) function c_status(reason, size) bind(C, name='ipm_status')
            import :: c_char, c_int
            character(kind=c_char), intent(out) :: reason(*)
            integer(c_int), value :: size
        end function

        type(c_ptr) function c_last_failure() bind(C, name='ipm_lastFailure')
            import :: c_ptr
        end function

        integer(c_int) function c_offer_requests(count, names, labels) bind(C, name='ipm_offerRequests')
            import :: c_int, c_ptr
            integer(c_int), value :: count
            type(c_ptr), value :: names, labels
        end function

        integer(c_int) function c_take_request(id, name, name_size, value, value_size) &
                bind(C, name='ipm_takeRequest')
            import :: c_char, c_int
            integer(c_int), intent(out) :: id
            character(kind=c_char), intent(out) :: name(*), value(*)
            integer(c_int), value :: name_size, value_size
        end function

        integer(c_int) function c_answer_request(id, outcome, text) bind(C, name='ipm_answerRequest')
            import :: c_char, c_int
            integer(c_int), value :: id, outcome
            character(kind=c_char), intent(in) :: text(*)
        end function
    end interface

    ! A NUL-terminated copy of one Fortran text.
    type :: c_text
        character(kind=c_char), allocatable :: chars(:)
    end type

    ! NUL-terminated copies of Fortran texts and the C array pointing at them;
    ! the pointers stay valid as long as the object (declared TARGET) lives.
    type :: c_text_array
        type(c_text), allocatable :: texts(:)
        type(c_ptr), allocatable :: pointers(:)
    end type

contains

    ! Starts messaging with the transport 'direct' or 'jabber'. `options` holds
    ! the job's options ('job=beam', 'message=ALL', ...); without it they come
    ! from the program's command line.
    integer function ipm_start(transport, options)
        character(len=*), intent(in) :: transport
        character(len=*), intent(in), optional :: options(:)
        type(c_text_array), target :: arguments

        if (.not. present(options)) then
            ipm_start = c_start(c_string(transport), 0_c_int, c_null_ptr)
            return
        end if
        call fill_c_texts(arguments, options)
        ipm_start = c_start(c_string(transport), int(size(options), c_int), array_address(arguments))
    end function

    ! Sends what is still buffered, then stops messaging.
    integer function ipm_stop()
        ipm_stop = c_stop()
    end function

    ! True once the listener has asked the job to stop.
    logical function ipm_kill_requested()
        ipm_kill_requested = c_kill_requested() == 1
    end function

    ! Buffers a message for the message task.
    integer function ipm_send(message_type, format, ints, doubles, texts)
        character(len=*), intent(in) :: message_type, format
        integer(c_int), intent(in), optional :: ints(:)
        real(c_double), intent(in), optional :: doubles(:)
        character(len=*), intent(in), optional :: texts(:)

        ipm_send = send_with(.false., message_type, format, ints, doubles, texts)
    end function

    ! Sends a message at once, on the calling thread.
    integer function ipm_send_direct(message_type, format, ints, doubles, texts)
        character(len=*), intent(in) :: message_type, format
        integer(c_int), intent(in), optional :: ints(:)
        real(c_double), intent(in), optional :: doubles(:)
        character(len=*), intent(in), optional :: texts(:)

        ipm_send_direct = send_with(.true., message_type, format, ints, doubles, texts)
    end function

    ! A short text for a result.
    function ipm_result_text(result) result(text)
        integer, intent(in) :: result
        character(len=:), allocatable :: text

        text = fortran_string(c_result_text(int(result, c_int)))
    end function

    ! IPM_STATUS_OFF, IPM_STATUS_CONNECTING or IPM_STATUS_CONNECTED; `reason`,
    ! when given, receives why delivery is not connected (blank when it is).
    integer function ipm_status(reason)
        character(len=*), intent(out), optional :: reason
        character(kind=c_char) :: buffer(512)

        ipm_status = c_status(buffer, int(size(buffer), c_int))
        if (present(reason)) call copy_c_text(buffer, reason)
    end function

    ! What the last IPM_FAILED was about.
    function ipm_last_failure() result(text)
        character(len=:), allocatable :: text

        text = fortran_string(c_last_failure())
    end function

    ! Offers requests, names(i) with labels(i), replacing an earlier offer.
    integer function ipm_offer_requests(names, labels)
        character(len=*), intent(in) :: names(:), labels(:)
        type(c_text_array), target :: name_texts, label_texts

        if (size(names) /= size(labels)) then
            ipm_offer_requests = IPM_BAD_ARGUMENT
            return
        end if
        call fill_c_texts(name_texts, names)
        call fill_c_texts(label_texts, labels)
        ipm_offer_requests = c_offer_requests(int(size(names), c_int), array_address(name_texts), &
                                              array_address(label_texts))
    end function

    ! Takes the oldest pending request without waiting: `id` 0 when none,
    ! else its id, `name` and `value` (blank when it has none).
    integer function ipm_take_request(id, name, value)
        integer, intent(out) :: id
        character(len=*), intent(out) :: name, value
        character(kind=c_char) :: name_buffer(33), value_buffer(257)
        integer(c_int) :: taken

        ipm_take_request = c_take_request(taken, name_buffer, int(size(name_buffer), c_int), value_buffer, &
                                          int(size(value_buffer), c_int))
        id = taken
        call copy_c_text(name_buffer, name)
        call copy_c_text(value_buffer, value)
    end function

    ! Answers a taken request once with IPM_REQUEST_DONE, _REFUSED or _FAILED.
    integer function ipm_answer_request(id, outcome, text)
        integer, intent(in) :: id, outcome
        character(len=*), intent(in) :: text

        ipm_answer_request = c_answer_request(int(id, c_int), int(outcome, c_int), c_string(text))
    end function

    ! A NUL-terminated buffer into a Fortran text, blank-padded or cut.
    subroutine copy_c_text(buffer, text)
        character(kind=c_char), intent(in) :: buffer(:)
        character(len=*), intent(out) :: text
        integer :: i

        text = ''
        do i = 1, min(size(buffer), len(text))
            if (buffer(i) == c_null_char) exit
            text(i:i) = buffer(i)
        end do
    end subroutine

    integer function send_with(direct, message_type, format, ints, doubles, texts)
        logical, intent(in) :: direct
        character(len=*), intent(in) :: message_type, format
        integer(c_int), intent(in), optional :: ints(:)
        real(c_double), intent(in), optional :: doubles(:)
        character(len=*), intent(in), optional :: texts(:)
        integer(c_int), allocatable, target :: int_values(:)
        real(c_double), allocatable, target :: double_values(:)
        type(c_text_array), target :: text_values
        type(c_ptr) :: int_address, double_address

        ! Copies make the values contiguous, whatever the caller passed.
        allocate (int_values(0), double_values(0))
        if (present(ints)) int_values = ints
        if (present(doubles)) double_values = doubles
        if (present(texts)) then
            call fill_c_texts(text_values, texts)
        else
            call fill_c_texts(text_values, [character(len=1) ::])
        end if
        ! The library reads as many values as the format asks for, without bounds.
        if (.not. enough_values(format, size(int_values), size(double_values), size(text_values%texts))) then
            send_with = IPM_BAD_ARGUMENT
            return
        end if
        int_address = c_null_ptr
        double_address = c_null_ptr
        if (size(int_values) > 0) int_address = c_loc(int_values)
        if (size(double_values) > 0) double_address = c_loc(double_values)
        if (direct) then
            send_with = c_send_direct(c_string(message_type), c_string(format), int_address, double_address, &
                                      array_address(text_values))
        else
            send_with = c_send(c_string(message_type), c_string(format), int_address, double_address, &
                               array_address(text_values))
        end if
    end function

    logical function enough_values(format, int_count, double_count, text_count)
        character(len=*), intent(in) :: format
        integer, intent(in) :: int_count, double_count, text_count
        integer(c_int) :: ints, doubles, texts

        enough_values = c_count_format_values(c_string(format), ints, doubles, texts) == IPM_OK
        enough_values = enough_values .and. ints <= int_count .and. doubles <= double_count .and. &
                        texts <= text_count
    end function

    subroutine fill_c_texts(array, values)
        type(c_text_array), intent(out), target :: array
        character(len=*), intent(in) :: values(:)
        integer :: i, length

        allocate (array%texts(size(values)), array%pointers(size(values)))
        do i = 1, size(values)
            length = len_trim(values(i))
            allocate (array%texts(i)%chars(length + 1))
            array%texts(i)%chars(1:length) = transfer(values(i)(1:length), 'a', length)
            array%texts(i)%chars(length + 1) = c_null_char
            array%pointers(i) = c_loc(array%texts(i)%chars)
        end do
    end subroutine

    type(c_ptr) function array_address(array)
        type(c_text_array), intent(in), target :: array

        array_address = c_null_ptr
        if (size(array%pointers) > 0) array_address = c_loc(array%pointers)
    end function

    function c_string(text) result(copy)
        character(len=*), intent(in) :: text
        character(kind=c_char, len=:), allocatable :: copy

        copy = trim(text)//c_null_char
    end function

    function fortran_string(address) result(text)
        type(c_ptr), intent(in) :: address
        character(len=:), allocatable :: text
        character(kind=c_char), pointer :: chars(:)
        integer :: length

        if (.not. c_associated(address)) then
            text = ''
            return
        end if
        call c_f_pointer(address, chars, [huge(0)])
        length = 0
        do while (chars(length + 1) /= c_null_char)
            length = length + 1
        end do
        allocate (character(len=length) :: text)
        text = transfer(chars(1:length), text)
    end function

end module ipm_messaging
