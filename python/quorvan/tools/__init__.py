"""The package's command-line tools, installed as console scripts.

- ``quorvan-record``: a camera into an MCAP recording (:mod:`.record`);
- ``quorvan-replay``: a recording through the camera's processing, with pictures (:mod:`.replay`);
- ``quorvan-list``: the attached cameras (:mod:`.list_cameras`);
- ``quorvan-publish``: a camera's frames on the bus (``python -m quorvan.live publish``);
- ``quorvan-viewer``: a camera in a browser page (``python -m quorvan.viewer``).
"""

__all__: list[str] = []
