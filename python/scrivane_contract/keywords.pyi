from typing import List, Tuple

KEYWORDS_VALIDACAO: List[str]
KEYWORDS_EXCLUSAO: List[str]
MIN_KEYWORDS: int

def normalizar_texto(texto: str) -> str: ...
def validar_documento_contrato(texto: str) -> Tuple[bool, int, list]: ...
