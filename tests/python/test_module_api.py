"""What a Python caller sees without streaming: names, values, comparison
rules, docstrings, keywords and argument conversion."""

import pytest

import QuorvanDepthCamera as qdc

ENUMERATIONS = {
    "TOFDeviceType": [("VGA", 0), ("HQVGA", 1)],
    "TOFOutput": [("RAW", 0), ("DEPTH", 2), ("CONFIDENCE", 1), ("CACHE", 4)],
    "TOFConnect": [("CSI", 0), ("USB", 1)],
    "TOFControl": [
        ("RANGE", 0), ("FMT_WIDTH", 1), ("FMT_HEIGHT", 2), ("MODE", 3), ("FRAME_MODE", 4),
        ("EXPOSURE", 5), ("FRAME_RATE", 6), ("SKIP_FRAME", 7), ("SKIP_FRAME_LOOP", 8),
        ("CONFIG_DIR_EXT", 256),
    ],
    "TofWorkMode": [
        ("SINGLE_FREQ", 0), ("DOUBLE_FREQ", 1), ("TRIPLE_FREQ", 2), ("QUAD_FREQ", 3),
        ("DISTANCE", 4), ("HDR", 5), ("AE", 6), ("BG_OUTDOOR", 7), ("GRAY_ONLY", 8),
        ("CUSTOM1", 9), ("CUSTOM2", 10), ("CUSTOM3", 11),
    ],
    "TofFrameWorkMode": [
        ("SINGLE_FREQ_2PHASE", 0), ("SINGLE_FREQ_4PHASE", 1), ("SINGLE_FREQ_4PHASE_GRAY", 2),
        ("SINGLE_FREQ_4PHASE_BG", 3), ("SINGLE_FREQ_4PHASE_4BG", 4),
        ("SINGLE_FREQ_4PHASE_GRAY_5BG", 5), ("SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG", 6),
        ("SINGLE_FREQ_GRAY_BG_4PHASE_BG", 7), ("SINGLE_FREQ_BG_GRAY_BG_4PHASE", 8),
        ("SINGLE_FREQ_BG_4PHASE_BG_GRAY", 9), ("DOUBLE_FREQ_4PHASE", 10),
        ("DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG", 11), ("DOUBLE_FREQ_4PHASE_4BG", 12),
        ("DOUBLE_FREQ_4PHASE_GRAY_5BG", 13), ("TRIPLE_FREQ_4PHASE", 14),
        ("TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG", 15), ("QUAD_FREQ_4PHASE", 16),
        ("QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG", 17), ("BG_OUTDOOR", 18),
        ("GRAY_ONLY", 19), ("CUSTOM", 20),
    ],
    "TOFErrorCode": [
        ("QuorvanSuccess", 0), ("QuorvanInvalidParameter", 1), ("QuorvanNoCache", 2),
        ("QuorvanUnkownDevice", 3), ("QuorvanNotImplemented", 4), ("QuorvanSkipFrame", 240),
        ("QuorvanSystemError", -2), ("QuorvanUnkownError", -1),
    ],
}
CONVERTIBLE = {"TOFDeviceType", "TOFErrorCode"}

ERROR_TEXTS = {
    "QuorvanSuccess": "Success",
    "QuorvanInvalidParameter": "Invalid parameter",
    "QuorvanNoCache": "No cache",
    "QuorvanUnkownDevice": "Unkown device",
    "QuorvanNotImplemented": "Not implemented",
    "QuorvanSkipFrame": "Skip frame",
    "QuorvanSystemError": "System error",
    "QuorvanUnkownError": "Unknown error",
}


def test_module_attributes_in_definition_order():
    public = [name for name in vars(qdc) if not name.startswith("__") or name == "__version__"]
    assert public[:14] == [
        "TOFDeviceType", "TOFOutput", "TOFConnect", "TOFControl", "TofWorkMode",
        "TofFrameWorkMode", "TOFErrorCode", "QuorvanFormat", "QuorvanInfo", "QuorvanFrame",
        "RawData", "DepthData", "QuorvanCamera", "__version__",
    ]
    # Classes added beside the original interface come after it.
    additions = ["QuorvanStatistics", "QuorvanIntrinsics", "QuorvanDeprojector",
                 "QuorvanTemporalFilter", "QuorvanFilters", "QuorvanFrameIterator",
                 "QuorvanCaptureFilters",
                 "QuorvanPlaybackCamera", "QuorvanMessageEncoder", "QuorvanDepthCodec",
                 "QuorvanOpticalDepth",
                 "QuorvanHostTime", "QuorvanFrameSetMember", "QuorvanFrameSetMatcher",
                 "QuorvanAttachedCamera", "QuorvanConnectionEvent"]
    assert public[14:] == additions
    assert all(isinstance(getattr(qdc, name), type) for name in additions)
    assert qdc.__version__ == "dev"
    assert qdc.__doc__ is None
    # Members stay inside their enumeration.
    assert not hasattr(qdc, "USB") and not hasattr(qdc, "QuorvanSuccess")


@pytest.mark.parametrize("enum_name", ENUMERATIONS)
def test_enumeration_members_values_and_order(enum_name):
    enum = getattr(qdc, enum_name)
    assert [(name, int(member)) for name, member in enum.__members__.items()] == \
        ENUMERATIONS[enum_name]


def test_native_only_members_are_hidden():
    assert "AMPLITUDE" not in qdc.TOFOutput.__members__
    assert 3 not in [int(m) for m in qdc.TOFOutput.__members__.values()]
    assert "AUTO_FRAME_RATE" not in qdc.TOFControl.__members__


@pytest.mark.parametrize("enum_name", ENUMERATIONS)
def test_comparison_rules(enum_name):
    enum = getattr(qdc, enum_name)
    members = list(enum.__members__.values())
    first, second = members[0], members[1]
    assert first == enum.__members__[ENUMERATIONS[enum_name][0][0]]
    assert first != second
    value = int(first)
    if enum_name in CONVERTIBLE:
        assert first == value and not first != value
    else:
        assert first != value and not first == value
    with pytest.raises(TypeError):
        first < second  # noqa: B015 - no ordering on any enumeration
    with pytest.raises(TypeError):
        first + 1  # noqa: B018 - no arithmetic either


def test_spot_checks_of_the_comparison_rules():
    assert qdc.TOFErrorCode.QuorvanUnkownError == -1
    assert qdc.TOFDeviceType.HQVGA == 1
    assert qdc.TOFOutput.DEPTH != 2 and int(qdc.TOFOutput.DEPTH) == 2
    assert qdc.TOFControl.CONFIG_DIR_EXT.value == 256
    # Same name and value in two scoped enumerations are still different.
    assert qdc.TofWorkMode.BG_OUTDOOR != qdc.TofFrameWorkMode.BG_OUTDOOR
    assert qdc.TofWorkMode.SINGLE_FREQ != qdc.TofFrameWorkMode.SINGLE_FREQ_2PHASE


def test_error_code_texts():
    for name, text in ERROR_TEXTS.items():
        assert getattr(qdc.TOFErrorCode, name).str() == text
    # A value that is not a member still has a text.
    assert qdc.TOFErrorCode(5).str() == "Unknown error"
    assert qdc.TOFErrorCode(241).str() == "Unknown error"


def test_docstrings_follow_the_signature_line():
    expected = [
        (qdc.QuorvanCamera.open, "Initialize the camera configuration and turn on the camera, set "
        "the initialization frame according to the mode.\n\n- mode Specify the connection "
        "method.\n- index Device node, the default value is video0."),
        (qdc.QuorvanCamera.openWithFile, "Initialize the camera configuration and turn on the "
        "camera, set the initialization frame according to the mode.\n\n- path Specify the "
        "config file path.\n- index Device node, the default value is video0."),
        (qdc.QuorvanCamera.close, "Close the camera"),
        (qdc.QuorvanCamera.start, "Start the camera stream and start processing."),
        (qdc.QuorvanCamera.stop, "Stop camera stream and processing."),
        (qdc.QuorvanCamera.setControl, "Set camera parameters."),
        (qdc.QuorvanCamera.getControl, "Get camera parameters."),
        (qdc.QuorvanCamera.getCameraInfo, "Get camera information."),
        (qdc.QuorvanCamera.requestFrame,
         "Request a frame of data from the frame processing thread."),
        (qdc.QuorvanCamera.releaseFrame, "Free the memory space of the frame."),
        (qdc.RawData.getRawData, "Get raw data from the frame"),
        (qdc.RawData.getFrameFormat, "Get the information of this frame"),
        (qdc.DepthData.getDepthData, "Get depth data from the frame"),
        (qdc.DepthData.getConfidenceData, "Get confidence data from the frame"),
        (qdc.DepthData.getAmplitudeData, "Get amplitude data from the frame"),
        (qdc.DepthData.getFrameFormat, "Get the information of this frame"),
    ]
    for method, text in expected:
        signature, _, doc = method.__doc__.partition("\n\n")
        assert signature.startswith(method.__name__ + "(")
        assert doc.strip("\n") == text, method.__name__


def test_value_and_frame_classes_have_no_constructor():
    for cls in (qdc.QuorvanFormat, qdc.QuorvanInfo, qdc.QuorvanFrame, qdc.RawData, qdc.DepthData):
        with pytest.raises(TypeError):
            cls()
    assert issubclass(qdc.RawData, qdc.QuorvanFrame)
    assert issubclass(qdc.DepthData, qdc.QuorvanFrame)


class TestArgumentConversion:
    """A failed conversion raises TypeError before the camera is called. Every
    open stores its index and connection before anything else, so unchanged
    values prove that the camera was not called."""

    @pytest.fixture
    def camera(self):
        camera = qdc.QuorvanCamera()
        assert camera.openWithFile("/nonexistent/kit.cfg", 5) != qdc.TOFErrorCode.QuorvanSuccess
        return camera

    def assert_not_called(self, camera):
        info = camera.getCameraInfo()
        assert (info.index, info.connect) == (5, qdc.TOFConnect.USB)

    @pytest.mark.parametrize("arguments", [
        (0,),                              # plain int for an enumeration
        (qdc.TOFOutput.RAW,),              # member of another enumeration
        (qdc.TOFConnect.CSI, 2**31),       # index beyond 32 bits
        (qdc.TOFConnect.CSI, -2**31 - 1),
        (qdc.TOFConnect.CSI, 1.0),         # never floats
        (qdc.TOFConnect.CSI, "1"),
        (),                                # mode has no default
    ])
    def test_open_refuses(self, camera, arguments):
        with pytest.raises(TypeError):
            camera.open(*arguments)
        self.assert_not_called(camera)

    def test_open_with_file_refuses(self, camera):
        for arguments in [(42,), ("x.cfg", 2**31), ("x.cfg", 0.5)]:
            with pytest.raises(TypeError):
                camera.openWithFile(*arguments)
        self.assert_not_called(camera)

    @pytest.mark.parametrize("timeout", [40000, -32769, 2**63, 1.5, None, "10"])
    def test_request_frame_timeout_must_fit_16_bits(self, camera, timeout):
        with pytest.raises(TypeError):
            camera.requestFrame(timeout)

    def test_controls_and_start_refuse_plain_ints_and_oversized_values(self, camera):
        with pytest.raises(TypeError):
            camera.setControl(6, 30)
        with pytest.raises(TypeError):
            camera.setControl(qdc.TOFControl.FRAME_RATE, 2**31)
        with pytest.raises(TypeError):
            camera.getControl(qdc.TOFConnect.USB)
        with pytest.raises(TypeError):
            camera.start(2)
        with pytest.raises(TypeError):
            camera.releaseFrame(42)
        for missing in (camera.start, camera.setControl, camera.getControl,
                        camera.requestFrame, camera.releaseFrame):
            with pytest.raises(TypeError):
                missing()

    def test_objects_with_an_integer_conversion_are_accepted(self, camera):
        class Index:
            def __index__(self):
                return 7

        camera.open(qdc.TOFConnect.USB, Index())
        assert camera.getCameraInfo().index == 7

    def test_keywords_and_defaults(self, camera):
        camera.open(mode=qdc.TOFConnect.USB, index=1)
        assert camera.getCameraInfo().index == 1
        assert camera.getCameraInfo().connect == qdc.TOFConnect.USB
        camera.open(qdc.TOFConnect.CSI)  # index defaults to 0
        assert camera.getCameraInfo().index == 0
        assert camera.getCameraInfo().connect == qdc.TOFConnect.CSI
        camera.openWithFile(path="/nonexistent/kit.cfg", index=3)
        assert camera.getCameraInfo().index == 3
        assert camera.getCameraInfo().connect == qdc.TOFConnect.USB
        camera.setControl(ctrl=qdc.TOFControl.SKIP_FRAME_LOOP, value=1)
        camera.getControl(ctrl=qdc.TOFControl.RANGE)
        assert camera.requestFrame(timeout=0) is None
        assert camera.releaseFrame(frame=None) == qdc.TOFErrorCode.QuorvanUnkownError
        assert camera.start(type=qdc.TOFOutput.DEPTH) != qdc.TOFErrorCode.QuorvanSuccess


def test_none_path_and_none_frame_reach_the_camera_as_null():
    camera = qdc.QuorvanCamera()
    result = camera.openWithFile(None)
    assert result == qdc.TOFErrorCode.QuorvanUnkownError
    assert isinstance(result, qdc.TOFErrorCode)
    assert camera.releaseFrame(None) == qdc.TOFErrorCode.QuorvanUnkownError


def test_path_accepts_bytes_and_bytearray():
    camera = qdc.QuorvanCamera()
    for path in (b"/nonexistent/a.cfg", bytearray(b"/nonexistent/b.cfg")):
        result = camera.openWithFile(path, 4)
        assert isinstance(result, qdc.TOFErrorCode)
        assert result != qdc.TOFErrorCode.QuorvanSuccess
        assert camera.getCameraInfo().index == 4


def test_calls_out_of_order_return_status_codes():
    camera = qdc.QuorvanCamera()
    for call in (camera.start(qdc.TOFOutput.DEPTH), camera.stop(), camera.close(),
                 camera.setControl(qdc.TOFControl.RANGE, 4000)):
        assert isinstance(call, qdc.TOFErrorCode)
        assert call != qdc.TOFErrorCode.QuorvanSuccess
    assert camera.getControl(qdc.TOFControl.RANGE) == 0
    assert camera.requestFrame(10) is None
